#pragma once
// What every decoder of engine/wire offers, so a socket reader can drive any
// of them the same way (engine/hop/ReadReply.h):
//
//   size_t Feed(const uint8_t *data, size_t size)
//       Takes bytes of the message, in pieces of any size, and returns how
//       many it took. It stops at the end of the message (or at the byte
//       where the message turned out bad): whatever follows is left to the
//       caller. Once Done() it takes nothing.
//   size_t BytesNeeded() const
//       How many more bytes the message needs at least: a reader that reads
//       no more than this never reads past the message. 1 while the length
//       is unknown (inside a line or a 0-terminated field); 0 exactly when
//       Done().
//   bool Done() const
//       The message is complete, or it failed; nothing more is taken.
//   const std::string &Error() const
//       Empty unless the message failed: then the message the user sees
//       (a malformed message, or the refusal a well-formed reply carries).
//
// A decoder that reads a sequence of messages (THttpLineReader, one line
// after another) starts on the next one when its result is taken.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>

template <class T>
concept CWireDecoder = requires(T decoder, const T &constDecoder, const uint8_t *data,
                                size_t size) {
    { decoder.Feed(data, size) } -> std::same_as<size_t>;
    { constDecoder.BytesNeeded() } -> std::same_as<size_t>;
    { constDecoder.Done() } -> std::same_as<bool>;
    { constDecoder.Error() } -> std::same_as<const std::string &>;
};
