/* An encoder library whose streams never start: every beInitStream fails. */
#include "bladeenc/BladeEnc.h"

#define EXPORT __attribute__((visibility("default")))

EXPORT BE_ERR beInitStream(PBE_CONFIG config, uint32_t* samples, uint32_t* size, PHBE_STREAM s) {
    (void)config; (void)samples; (void)size; (void)s;
    return BE_ERR_INVALID_FORMAT_PARAMETERS;
}
EXPORT BE_ERR beEncodeChunk(HBE_STREAM s, uint32_t n, int16_t* pcm, uint8_t* out, uint32_t* len) {
    (void)s; (void)n; (void)pcm; (void)out; (void)len;
    return BE_ERR_INVALID_HANDLE;
}
EXPORT BE_ERR beDeinitStream(HBE_STREAM s, uint8_t* out, uint32_t* len) {
    (void)s; (void)out; (void)len;
    return BE_ERR_INVALID_HANDLE;
}
EXPORT BE_ERR beCloseStream(HBE_STREAM s) {
    (void)s;
    return BE_ERR_INVALID_HANDLE;
}
EXPORT void beVersion(PBE_VERSION v) {
    v->byMajorVersion = 1;
}
