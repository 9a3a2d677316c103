/*
 * The BladeEnc encoder-library interface, as wavkeep's lame_enc.so exports it
 * and as the recorder loads it (dlopen + dlsym by these names).
 *
 * Byte layout (packed, little-endian as the machine):
 *   BE_CONFIG is 331 bytes: dwConfig (4) then a 327-byte union whose "mp3"
 *   form is dwSampleRate (4), byMode (1), wBitrate (2), bPrivate, bCRC,
 *   bCopyright, bOriginal (4 each); every other byte zero.
 *   BE_VERSION is 393 bytes.
 * Sample counts are counts of 16-bit values over all channels (a stereo frame
 * is two samples). Every function returns BE_ERR_SUCCESSFUL (0) on success.
 */
#ifndef WAVKEEP_BLADEENC_H
#define WAVKEEP_BLADEENC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t BE_ERR;
typedef unsigned long HBE_STREAM;
typedef HBE_STREAM* PHBE_STREAM;

#define BE_ERR_SUCCESSFUL 0x00000000u
#define BE_ERR_INVALID_FORMAT 0x00000001u
#define BE_ERR_INVALID_FORMAT_PARAMETERS 0x00000002u
#define BE_ERR_NO_MORE_HANDLES 0x00000003u
#define BE_ERR_INVALID_HANDLE 0x00000004u
#define BE_ERR_BUFFER_TOO_SMALL 0x00000005u

#define BE_CONFIG_MP3 0

#define BE_MP3_MODE_STEREO 0
#define BE_MP3_MODE_JSTEREO 1
#define BE_MP3_MODE_DUALCHANNEL 2
#define BE_MP3_MODE_MONO 3

#define BE_MAX_HOMEPAGE 256

#pragma pack(push, 1)
typedef struct {
    uint32_t dwConfig; /* BE_CONFIG_MP3 */
    union {
        struct {
            uint32_t dwSampleRate; /* 32000, 44100 or 48000 */
            uint8_t byMode;        /* BE_MP3_MODE_* */
            uint16_t wBitrate;     /* kbit/s */
            int32_t bPrivate;
            int32_t bCRC;
            int32_t bCopyright;
            int32_t bOriginal;
        } mp3;
        uint8_t reserved[327];
    } format;
} BE_CONFIG, *PBE_CONFIG;

typedef struct {
    uint8_t byDLLMajorVersion;
    uint8_t byDLLMinorVersion;
    uint8_t byMajorVersion; /* of the encoding engine */
    uint8_t byMinorVersion;
    uint8_t byDay;
    uint8_t byMonth;
    uint16_t wYear;
    char zHomepage[BE_MAX_HOMEPAGE + 1];
    uint8_t byAlphaLevel;
    uint8_t byBetaLevel;
    uint8_t byMMXEnabled;
    uint8_t btReserved[125];
} BE_VERSION, *PBE_VERSION;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(BE_CONFIG) == 331, "BE_CONFIG must be 331 bytes");
static_assert(sizeof(BE_VERSION) == 393, "BE_VERSION must be 393 bytes");
#endif

/* Opens a stream; reports how many samples each beEncodeChunk call takes and
 * how large its output buffer must be. */
typedef BE_ERR (*BEINITSTREAM)(PBE_CONFIG config, uint32_t* samples, uint32_t* bufferSize,
                               PHBE_STREAM stream);
/* Encodes `samples` 16-bit values (at most what beInitStream reported). */
typedef BE_ERR (*BEENCODECHUNK)(HBE_STREAM stream, uint32_t samples, int16_t* pcm,
                                uint8_t* output, uint32_t* outputLength);
/* Ends the stream: the last frames go to `output`. */
typedef BE_ERR (*BEDEINITSTREAM)(HBE_STREAM stream, uint8_t* output, uint32_t* outputLength);
/* Releases the stream. */
typedef BE_ERR (*BECLOSESTREAM)(HBE_STREAM stream);
typedef void (*BEVERSION)(PBE_VERSION version);
/* Like beDeinitStream, but the stream may go on without a gap afterwards. */
typedef BE_ERR (*BEFLUSHNOGAP)(HBE_STREAM stream, uint8_t* output, uint32_t* outputLength);

/* Optional: the samples of silence the encoder puts before the first input
 * sample (its delay), so that the recorder knows where each frame's audio
 * begins. */
typedef BE_ERR (*BEENCODERDELAY)(HBE_STREAM stream, uint32_t* samples);

#define TEXT_BEINITSTREAM "beInitStream"
#define TEXT_BEENCODECHUNK "beEncodeChunk"
#define TEXT_BEDEINITSTREAM "beDeinitStream"
#define TEXT_BECLOSESTREAM "beCloseStream"
#define TEXT_BEVERSION "beVersion"
#define TEXT_BEFLUSHNOGAP "beFlushNoGap"
#define TEXT_BEENCODERDELAY "beEncoderDelay"

#ifdef __cplusplus
}
#endif

#endif
