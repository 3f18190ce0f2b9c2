// LRS decoding without owning the output: into a caller's buffer in one
// call, or in bounded memory through a streaming decoder. Every form gives
// exactly the bytes of `decompress_lrs` (utils.hpp), damaged input included:
// decoding never fails, it stops and reports why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tarnwick_dat {

/// The size a payload declares (its first 4 bytes, little-endian); nothing when shorter than 4
/// bytes.
std::optional<std::uint32_t> lrs_declared_size(std::span<const std::uint8_t> payload);

/// The most bytes decoding `payload` can produce: its declared size, capped
/// by what its token stream could yield at best (so a small payload that
/// declares 4 GiB needs a small buffer); its own length when it is too short
/// to declare a size.
std::size_t lrs_output_capacity(std::span<const std::uint8_t> payload);

/// Why decoding stopped.
enum class LrsEnd : std::uint8_t {
    ShortInput,      // fewer than 4 bytes: no size field; the input was copied as is
    OutputFull,      // produced the declared size (or filled the caller's buffer)
    InputExhausted,  // the stream ended at a token boundary before the declared size
    EndMarker,       // a reference of distance 0
    CutToken,        // a back-reference with fewer than 2 bytes left, or a literal with none
    EmptyReference,  // a back-reference while the output was still empty
};

/// What one decode did.
struct LrsOutcome {
    std::size_t produced = 0;  // bytes written to the output
    std::size_t consumed =
        0;  // payload bytes read, the 4-byte size field included (for ShortInput: the bytes copied)
    LrsEnd end = LrsEnd::OutputFull;
    bool reached_before_start =
        false;  // some reference reached before the output's start (decoded by the saturating rule)
};

/// Decodes into `output`, stopping at the declared size or at output.size(), whichever is
/// smaller; exactly the bytes decompress_lrs gives (for short input: the input copied, cut to
/// output.size()). Never writes past output.size(); bytes of `output` past `produced` may be
/// overwritten with scratch.
LrsOutcome decode_lrs_into(std::span<const std::uint8_t> input, std::span<std::uint8_t> output);

/// decode_lrs_into(...).produced.
std::size_t decompress_lrs_into(std::span<const std::uint8_t> input,
                                std::span<std::uint8_t> output);

/// A streaming LRS decoder for payloads of any size in bounded memory: it keeps only the last
/// 4095 bytes of output as its window (plus a fixed staging area and the fed bytes not yet
/// decoded). Feed payload bytes in pieces of any size, drain output with `decode` between
/// feeds, call `finish` after the last piece and drain until `done`. The concatenated output
/// equals decompress_lrs of the concatenated input, however both are split.
class LrsDecoder {
  public:
    /// A decoder waiting for the first bytes of a payload.
    LrsDecoder();

    /// Appends payload bytes (the first 4 of the payload are the size field). Ignored once
    /// `done()` or after `finish()`: bytes past the stream's end are never read.
    void feed(std::span<const std::uint8_t> bytes);

    /// Says no more input will come: the end of the fed bytes becomes the end of the payload.
    void finish();

    /// Decodes what the fed bytes allow into `out`; returns the bytes written. Fewer than
    /// out.size() means more input is needed (or `done()`).
    std::size_t decode(std::span<std::uint8_t> out);

    /// Whether decoding has ended and all its output has been drained.
    bool done() const { return ended_ && drained_ == filled_; }

    /// The outcome so far; final once `done()`. `produced` counts every byte ever produced
    /// (drained or not), `consumed` every payload byte read.
    const LrsOutcome& outcome() const { return outcome_; }

  private:
    bool step();

    std::vector<std::uint8_t> input_;  // fed bytes; those before input_pos_ are read
    std::size_t input_pos_ = 0;
    std::vector<std::uint8_t> window_;  // recent output: the dictionary, then undrained bytes
    std::size_t filled_ = 0;            // bytes of window_ decoded
    std::size_t drained_ = 0;           // bytes of window_ handed out
    std::uint64_t declared_ = 0;
    bool have_header_ = false;
    bool finished_ = false;
    bool ended_ = false;
    unsigned control_ = 0;
    unsigned bits_left_ = 0;
    LrsOutcome outcome_;
};

}  // namespace tarnwick_dat
