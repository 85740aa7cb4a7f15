// Vendor-named entry points of libax_ivps.so; the state lives in libax_sys.
#include "media/ax_sdk.h"
#include "sim/sdk/calls.h"

using namespace axsim::detail;

extern "C" {

int32_t AX_IVPS_Init(void) {
    return ivps_init();
}
int32_t AX_IVPS_Deinit(void) {
    return ivps_deinit();
}
int32_t AX_IVPS_CreateGrp(int32_t grp, const AX_IVPS_GRP_ATTR_T* attr) {
    return ivps_create_grp(grp, attr);
}
int32_t AX_IVPS_DestoryGrp(int32_t grp) {
    return ivps_destroy_grp(grp);
}
int32_t AX_IVPS_SetPipelineAttr(int32_t grp, const AX_IVPS_PIPELINE_ATTR_T* attr) {
    return ivps_set_pipeline_attr(grp, attr);
}
int32_t AX_IVPS_EnableChn(int32_t grp, int32_t chn) {
    return ivps_enable_chn(grp, chn);
}
int32_t AX_IVPS_DisableChn(int32_t grp, int32_t chn) {
    return ivps_disable_chn(grp, chn);
}
int32_t AX_IVPS_StartGrp(int32_t grp) {
    return ivps_start_grp(grp);
}
int32_t AX_IVPS_StopGrp(int32_t grp) {
    return ivps_stop_grp(grp);
}

}  // extern "C"
