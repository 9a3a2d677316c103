#pragma once
// Splitting one Ogg Vorbis stream at a sample position, at page and packet
// level, without decoding (the Ogg export's cut, OggExport.h).
//
// Threads: any; one call works on its own files.

#include <cstdint>
#include <cstdio>

namespace wk {

// Splits the Ogg Vorbis stream `in` at sample `cutPoint`: the audio before it
// goes to `first` (ending with the packet that straddles the cut, its
// granule position set to the cut point, end of stream), the audio after it
// to `second` (a new logical stream with the same headers, starting with the
// two packets before the cut so a decoder can overlap them). Returns 0 or -1;
// diagnostics go to the trace.
int CutOggStream(std::FILE* in, std::FILE* first, std::FILE* second, int64_t cutPoint);

}  // namespace wk
