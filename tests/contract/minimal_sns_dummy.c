/* The minimal dummy sensor library: only the object whose address the service registers. */
#include <stdint.h>

uint8_t gSnsdummyObj[64];
