#pragma once
// Message numbers of the player: its thread's messages, what it posts to its
// window (forwarded to the stream view), and the sound server's messages.

namespace wk {

inline constexpr int kMsgPlayerStop = 1124;
inline constexpr int kMsgPlayerPlay = 1125;
inline constexpr int kMsgPlayerIgnored = 1126;
// p1: milliseconds since the previous progress message.
inline constexpr int kMsgPlayProgress = 1127;
inline constexpr int kMsgChunkFinished = 1128;
// p1: buffer index, p2: frames in it.
inline constexpr int kMsgSoundPlayBuffer = 1135;
// p1: 1 to let what the device holds play out first.
inline constexpr int kMsgSoundStop = 1137;

}  // namespace wk
