/* The minimal libax_sys's frame mappings: a mapping is plain zeroed memory of the asked size. */
#include <stdlib.h>

#include "sdk/ax_sdk.h"

void* AX_SYS_Mmap(uint64_t phy_addr, uint32_t size) {
    return phy_addr == 0 || size == 0 ? NULL : calloc(1, size);
}

int32_t AX_SYS_Munmap(void* virt_addr, uint32_t size) {
    (void)size;
    free(virt_addr);
    return 0;
}
