#pragma once
// The long tags of exported songs, written with TagLib: an ID3v2.4 tag at
// the front of MP3 songs (beside the ID3v1 tag at their end, which stays as
// Id3Tag.h writes it), Vorbis comments in the comment header of every link
// of a chained Ogg song, and the ReplayGain values of both.
//
// An Ogg song stays a chain of links (one per piece of a chunk). Joined into
// one logical stream (one serial number, granule positions continued, the
// headers once), a decoder overlaps the last block of one link with the
// first block of the next, audio that was never meant to be heard: every
// seam then plays 128 (generator music) to 1280 (a steady tone) samples
// more, and on the tone those 29 ms hold a dropout: the level falls from
// about -9 dBFS to below -47 dBFS for 23 ms. Keeping the links but continuing their
// granule positions also adds samples: each link loses its start trim.
// Readers that look at the first link alone see its length only.
//
// Every change of a finished song is made on a copy beside it that then
// replaces it: a failed write (a full disk) leaves the song as it was.
//
// Threads: the export thread; one call works on its own files.

#include <optional>
#include <string>
#include <vector>

#include "core/DateTime.h"
#include "export/ReplayGain.h"

namespace wk {

struct Description;

struct SongTags {
    std::string title, artist, album, year, comment;
    int genre = -1;
    std::string stream;    // the stream the song was recorded from
    std::string recorded;  // when it started: "YYYY-MM-DD hh:mm:ss"
    std::optional<ReplayGainValues> replayGain;
};

// The description's tags; texts that are not UTF-8 are taken as Latin-1.
SongTags SongTagsFor(const Description& track, const std::string& stream, StreamTime start);

// "-3.21 dB" and "0.987654", as the tags hold them.
std::string GainText(double db);
std::string PeakText(double peak);

// The ID3v2.4 tag (with room for later frames) for the front of an MP3 song.
std::string RenderId3v2Tag(const SongTags& tags);

// Replaces the ID3v2 tag at the front of the MP3 song (or puts one there)
// by one made of `tags`; the audio and the ID3v1 tag stay byte for byte.
// False (with a trace line) when the song could not be changed: it is then
// as it was.
bool WriteMp3SongTags(const std::string& path, const SongTags& tags);

// The MP3 song's ID3v2 tag with `values` in its ReplayGain fields, its other
// frames as they are; empty when the song has no tag with ReplayGain fields
// (or cannot be read). For a song normalised again after it was tagged:
// `NormalizeMp3Files` puts it in front of the new audio in the same write.
std::string Mp3TagWithReplayGain(const std::string& path, const ReplayGainValues& values);

// Puts `tags` as Vorbis comments into the comment header of every link of
// the chained Ogg song; audio pages are copied unchanged (their page
// numbers follow the new headers). False (with a trace line) when the
// song could not be changed: it is then as it was.
bool WriteOggSongTags(const std::string& path, const SongTags& tags);

// The Vorbis comments of `tags` ("ARTIST=...", ...).
std::vector<std::string> VorbisComments(const SongTags& tags);

// Loudness of a run of Ogg songs measured as one album (track values per
// path, in order; nullopt for a song that could not be measured).
std::vector<std::optional<ReplayGainValues>> MeasureOggLoudness(
    const std::vector<std::string>& paths);

// What a song's long tag says, for listings: "artist - title [album, year]
// (genre)" from the ID3v2 tag or the first link's Vorbis comments, and the
// album gain when present; "" when the song has no long tag.
std::string LongTagSummary(const std::string& path);

}  // namespace wk
