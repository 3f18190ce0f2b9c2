// LRS decoding: a 4-byte little-endian output size, then groups of up to
// eight tokens, each group led by a control byte read most significant bit
// first (clear: one literal byte; set: a two-byte back-reference with a 12-bit
// distance and a length of 2 to 17 into the output produced so far).
//
// One token loop serves every form of the decoder. It is resumable (the
// control byte and its unused bits live in the cursor), so the streaming
// decoder can stop where its input or its staging area runs out and go on
// later. It is fast for two reasons that do not change its results:
//  - while a whole group's worst case fits in the input and output left, the
//    group is decoded without per-token bounds tests, as runs of literals
//    between references (found by counting the control byte's leading
//    zeros): a run is one 8-byte copy, a group of eight literals needs no
//    other work, and a reference is three 8-byte copies, the bytes past each
//    token being scratch that later tokens overwrite;
//  - everywhere else (the last bytes of input and output) tokens are decoded
//    one at a time with every test the rules make, and nothing is written
//    past the limit.

#include "tarnwick_dat/lrs.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "internal/lrs_capacity.hpp"
#include "internal/lrs_format.hpp"
#include "tarnwick_dat/record_reader.hpp"
#include "tarnwick_dat/utils.hpp"

namespace tarnwick_dat {

namespace {

using lrs_format::kGroupTokens;
using lrs_format::kMaxRefLength;
using lrs_format::kSizeFieldBytes;
// The farthest a back-reference reaches: the dictionary a streaming decoder
// keeps.
constexpr std::size_t kWindow = lrs_format::kMaxDistance;
// Bytes a back-reference writes in the fast path, whatever its length: three
// 8-byte copies.
constexpr std::size_t kRefWrite = 24;
// A group at its worst in the fast path: after a control byte and seven
// back-references, the eighth token still reads (a literal in the
// branch-free loop) or writes (either) a 24-byte chunk. Runs of literals
// (8-byte copies) and the stand-ins for missing references stay within.
constexpr std::size_t kFastInput = 1 + 2 * (kGroupTokens - 1) + kRefWrite;
constexpr std::size_t kFastOutput = kMaxRefLength * (kGroupTokens - 1) + kRefWrite;
// For a distance under 8, its smallest multiple of at least 8.
constexpr std::size_t kPeriodOf8[8] = {0, 8, 8, 9, 8, 10, 12, 14};
// Output the streaming decoder stages behind its window before handing it out.
constexpr std::size_t kStage = 64 * 1024;

// Why the token loop returned; `NeedInput` only when more input may come.
enum class Stop : std::uint8_t {
    OutputFull,
    NeedInput,
    InputExhausted,
    EndMarker,
    CutToken,
    EmptyReference,
};

LrsEnd end_of(Stop stop) {
    switch (stop) {
        case Stop::OutputFull:
            return LrsEnd::OutputFull;
        case Stop::InputExhausted:
        case Stop::NeedInput:
            return LrsEnd::InputExhausted;
        case Stop::EndMarker:
            return LrsEnd::EndMarker;
        case Stop::CutToken:
            return LrsEnd::CutToken;
        case Stop::EmptyReference:
            return LrsEnd::EmptyReference;
    }
    return LrsEnd::OutputFull;
}

// Where the token loop stands: the unread input, the output written so far
// (`out[0, pos)`, whose first byte is the first output byte as long as
// references can reach it) and the state of the current group.
struct Cursor {
    const std::uint8_t* in;
    const std::uint8_t* in_end;
    std::uint8_t* out;
    std::size_t pos;
    std::size_t limit;
    std::size_t clamp;   // where a back-reference is cut: the output's true end (>= limit)
    unsigned control;    // the current control byte, the next token's bit at 0x80
    unsigned bits_left;  // tokens of the current group still to decode
    bool reached_before_start;
};

inline void copy8(std::uint8_t* dst, const std::uint8_t* src) {
    std::memcpy(dst, src, 8);
}

inline void copy16(std::uint8_t* dst, const std::uint8_t* src) {
    std::memcpy(dst, src, 16);
}

// A back-reference that reaches before the start of the output: each byte
// whose source would lie before the start copies the first output byte.
// Only in the first 4 KiB of output, so kept out of the hot loop.
[[gnu::noinline]] void copy_saturating(std::uint8_t* out, std::size_t pos, std::size_t distance,
                                       std::size_t length) {
    for (std::size_t i = 0; i < length; ++i, ++pos) {
        out[pos] = out[pos >= distance ? pos - distance : 0];
    }
}

// A group's layout by its control byte: its references, the run of
// literals before each (and the last run after them), where each run starts
// in the group's input (after the control byte) and the group's input size.
struct GroupLayout {
    std::uint8_t references;
    std::uint8_t size;
    std::uint8_t run[kGroupTokens + 1];
    std::uint8_t run_at[kGroupTokens + 1];
    std::uint8_t reference_mask[kGroupTokens];  // 0xFF for each reference the group has, then 0
};

constexpr std::array<GroupLayout, 256> make_layouts() {
    std::array<GroupLayout, 256> layouts{};
    for (unsigned control = 0; control < 256; ++control) {
        GroupLayout& layout = layouts[control];
        unsigned at = 0;
        unsigned run = 0;
        for (unsigned bit = 0x80; bit != 0; bit >>= 1) {
            if ((control & bit) != 0) {
                layout.run[layout.references] = static_cast<std::uint8_t>(run);
                layout.run_at[layout.references] = static_cast<std::uint8_t>(at - run);
                layout.reference_mask[layout.references] = 0xFF;
                ++layout.references;
                at += 2;
                run = 0;
            } else {
                ++at;
                ++run;
            }
        }
        layout.run[layout.references] = static_cast<std::uint8_t>(run);
        layout.run_at[layout.references] = static_cast<std::uint8_t>(at - run);
        layout.size = static_cast<std::uint8_t>(at);
    }
    return layouts;
}

constexpr std::array<GroupLayout, 256> kLayouts = make_layouts();

// A reference of distance 16, standing in for a group's missing ones.
constexpr std::uint8_t kNoReference[2] = {16, 0};

// One back-reference in the fast path, at `in`, with room for kRefWrite
// bytes at out + pos and pos >= 8; advances both. Returns false, having read
// the token, for the end marker (distance 0).
[[gnu::always_inline]] inline bool fast_reference(const std::uint8_t*& in, std::uint8_t* out,
                                                  std::size_t& pos, bool& reached_before_start) {
    const std::size_t b2 = in[1];
    const std::size_t distance = in[0] | (b2 >> 4) << 8;
    const std::size_t length = (b2 & 0x0Fu) + 2;
    in += 2;
    std::uint8_t* const dst = out + pos;
    const std::uint8_t* const src = dst - distance;
    // With pos >= 16, one test finds a distance of 0 to 15 or one reaching
    // before the start.
    if (distance - 16 > pos - 16) [[unlikely]] {
        if (distance == 0) {
            return false;
        }
        if (distance > pos) {
            reached_before_start = true;
            copy_saturating(out, pos, distance, length);
        } else if (distance >= 8) {
            // Each chunk reads bytes at least 8 back, all final by then.
            copy8(dst, src);
            copy8(dst + 8, src + 8);
            copy8(dst + 16, src + 16);
        } else if (distance == 1) {
            std::memset(dst, dst[-1], kMaxRefLength);
        } else {
            // The output repeats with period `distance`: the first 8 bytes
            // one by one, then chunks from a multiple of the period at least
            // 8 back.
            for (std::size_t i = 0; i < 8; ++i) {
                dst[i] = src[i];
            }
            const std::size_t period = kPeriodOf8[distance];
            copy8(dst + 8, dst + 8 - period);
            copy8(dst + 16, dst + 16 - period);
        }
    } else {
        // Each chunk reads bytes at least 16 back, all final by then.
        copy16(dst, src);
        copy8(dst + 16, src + 16);
    }
    pos += length;
    return true;
}

// fast_reference out of line, for the references of distance under 8 or
// reaching before the start in the fast path's branch-free loops.
[[gnu::noinline]] bool odd_reference(const std::uint8_t*& in, std::uint8_t* out, std::size_t& pos,
                                     bool& reached_before_start) {
    return fast_reference(in, out, pos, reached_before_start);
}

// Decodes tokens until the output reaches `limit`, the input ends or the
// stream says stop. With `final` false, running out of input in or before a
// token returns NeedInput with the cursor at that token, ready to go on.
Stop run(Cursor& c, bool final) {
    const std::uint8_t* in = c.in;
    const std::uint8_t* const in_end = c.in_end;
    std::uint8_t* const out = c.out;
    std::size_t pos = c.pos;
    const std::size_t limit = c.limit;
    const std::size_t clamp = c.clamp;
    unsigned control = c.control;
    unsigned bits_left = c.bits_left;
    Stop stop = Stop::OutputFull;

    for (;;) {
        if (pos >= limit) {
            stop = Stop::OutputFull;
            break;
        }
        if (in == in_end) {
            stop = final ? Stop::InputExhausted : Stop::NeedInput;
            break;
        }
        if (bits_left == 0) {
            // Whole groups with no bounds tests while their worst case fits.
            bool ended = false;
            while (static_cast<std::size_t>(in_end - in) >= kFastInput &&
                   limit - pos >= kFastOutput && pos >= 16) {
                const unsigned group = *in++;
                if (group == 0) {
                    // Eight literals.
                    copy8(out + pos, in);
                    pos += kGroupTokens;
                    in += kGroupTokens;
                    continue;
                }
                const unsigned but_one = group & (group - 1);
                if ((but_one & (but_one - 1)) != 0) {
                    // Mostly references, as in repetitive data: every token
                    // is one 24-byte copy, from the input for a literal and
                    // from the output for a reference, with no branch on the
                    // kind of token, which would be mispredicted on streams
                    // that mix the two.
#pragma GCC unroll 8
                    for (unsigned t = 0; t < kGroupTokens; ++t) {
                        // 1 for a reference, 0 for a literal, used as a
                        // number and a mask.
                        const std::size_t reference = (group >> (7 - t)) & 1u;
                        const std::size_t mask = 0 - reference;
                        const std::size_t b2 = in[1];
                        const std::size_t distance = in[0] | (b2 >> 4) << 8;
                        const std::size_t length = 1 + (((b2 & 0x0Fu) + 1) & mask);
                        if ((reference & static_cast<std::size_t>(distance - 8 > pos - 8)) != 0)
                            [[unlikely]] {
                            if (!fast_reference(in, out, pos, c.reached_before_start)) {
                                ended = true;
                                break;
                            }
                            continue;
                        }
                        // A literal's first byte is the literal, the rest
                        // scratch; a reference's chunks each read bytes at
                        // least 16 back, all final by then.
                        std::uint8_t* const dst = out + pos;
                        const auto from_in = reinterpret_cast<std::uintptr_t>(in);
                        const auto from_out = reinterpret_cast<std::uintptr_t>(dst) - distance;
                        const auto* const src = reinterpret_cast<const std::uint8_t*>(
                            from_in ^ ((from_in ^ from_out) & mask));
                        copy8(dst, src);
                        copy8(dst + 8, src + 8);
                        copy8(dst + 16, src + 16);
                        in += 1 + reference;
                        pos += length;
                    }
                    if (ended) {
                        stop = Stop::EndMarker;
                        break;
                    }
                    continue;
                }
                // At most two references, as in literal-heavy data: two
                // runs of literals, each followed by a reference, then a last
                // run, with no branch on the group's layout (which would be
                // mispredicted on such data). A run is one 8-byte copy (the
                // bytes past it scratch that the next token overwrites); a
                // missing reference is a harmless one of length 0.
                const GroupLayout& layout = kLayouts[group];
#pragma GCC unroll 2
                for (unsigned r = 0; r < 2; ++r) {
                    copy8(out + pos, in + layout.run_at[r]);
                    pos += layout.run[r];
                    const std::uint8_t* token = r < layout.references
                                                    ? in + layout.run_at[r] + layout.run[r]
                                                    : kNoReference;
                    const std::size_t b2 = token[1];
                    const std::size_t distance = token[0] | (b2 >> 4) << 8;
                    if (distance - 8 > pos - 8) [[unlikely]] {
                        if (!odd_reference(token, out, pos, c.reached_before_start)) {
                            in = token;
                            ended = true;
                            break;
                        }
                        continue;
                    }
                    std::uint8_t* const dst = out + pos;
                    const std::uint8_t* const src = dst - distance;
                    copy8(dst, src);
                    copy8(dst + 8, src + 8);
                    copy8(dst + 16, src + 16);
                    pos += ((b2 & 0x0Fu) + 2) & layout.reference_mask[r];
                }
                if (ended) {
                    stop = Stop::EndMarker;
                    break;
                }
                copy8(out + pos, in + layout.run_at[2]);
                pos += layout.run[2];
                in += layout.size;
            }
            if (ended) {
                break;
            }
            if (pos >= limit || in == in_end) {
                continue;  // the tests at the top say how decoding ends
            }
            control = *in++;
            bits_left = kGroupTokens;
        }
        if ((control & 0x80) != 0) {
            if (in_end - in < 2) {
                stop = Stop::CutToken;
                break;
            }
            const std::size_t distance = in[0] | static_cast<std::size_t>(in[1] >> 4) << 8;
            const std::size_t length = std::min<std::size_t>((in[1] & 0x0Fu) + 2, clamp - pos);
            in += 2;
            if (distance == 0) {
                stop = Stop::EndMarker;
                break;
            }
            if (pos == 0) {
                stop = Stop::EmptyReference;
                break;
            }
            if (distance > pos) {
                c.reached_before_start = true;
                copy_saturating(out, pos, distance, length);
            } else {
                for (std::size_t i = 0; i < length; ++i) {
                    out[pos + i] = out[pos + i - distance];
                }
            }
            pos += length;
        } else {
            if (in == in_end) {
                stop = Stop::CutToken;
                break;
            }
            out[pos++] = *in++;
        }
        control <<= 1;
        --bits_left;
    }

    if (stop == Stop::CutToken && !final) {
        // More input may complete the token: go back to its start, before
        // its control byte when this token is the one that read it, so that
        // it is decoded afresh (and the tests before a token made again).
        if (bits_left == kGroupTokens) {
            --in;
            bits_left = 0;
        }
        stop = Stop::NeedInput;
    }
    c.in = in;
    c.pos = pos;
    c.control = control & 0xFFu;
    c.bits_left = bits_left;
    return stop;
}

// A group at its largest: a control byte and eight back-references.
constexpr std::size_t kMaxGroupInput = 1 + 2 * kGroupTokens;
constexpr std::size_t kMaxGroupOutput = kMaxRefLength * kGroupTokens;

// The most output `n` bytes of token stream can yield. A back-reference
// needs an earlier output byte, so the first token that yields anything is a
// literal (control byte + literal = 2 bytes for 1 byte of output); after it,
// two-byte back-references of 17 bytes each are the best use of every byte,
// with a control byte ahead of every eight tokens, and a last odd byte can
// still be a literal when a token slot is free. Used to cap the up-front
// allocation, so that a small payload declaring a huge size allocates little.
std::size_t max_output_for(std::size_t n) {
    if (n < 2) {
        return 0;  // at most a control byte
    }
    std::size_t output = 1;
    std::size_t left = n - 2;
    // The first group has seven token slots after its literal.
    const std::size_t first_refs = std::min<std::size_t>(kGroupTokens - 1, left / 2);
    output += kMaxRefLength * first_refs;
    left -= 2 * first_refs;
    if (first_refs < kGroupTokens - 1) {
        return output + left;  // `left` is 0 or 1: one more literal at most
    }
    output += kMaxGroupOutput * (left / kMaxGroupInput);
    left %= kMaxGroupInput;
    if (left >= 2) {
        // A control byte, back-references for the even part, a literal for an
        // odd last byte; at most 15 bytes, so at most eight tokens.
        output += kMaxRefLength * ((left - 1) / 2) + (left - 1) % 2;
    }
    return output;
}

}  // namespace

std::optional<std::uint32_t> lrs_declared_size(std::span<const std::uint8_t> payload) {
    if (payload.size() < kSizeFieldBytes) {
        return std::nullopt;
    }
    return load_le32(payload.data());
}

LrsOutcome decode_lrs_into(std::span<const std::uint8_t> input, std::span<std::uint8_t> output) {
    LrsOutcome outcome;
    if (input.size() < kSizeFieldBytes) {
        const std::size_t n = std::min(input.size(), output.size());
        if (n != 0) {
            std::memcpy(output.data(), input.data(), n);
        }
        outcome.produced = n;
        outcome.consumed = n;
        outcome.end = LrsEnd::ShortInput;
        return outcome;
    }
    const std::size_t declared = load_le32(input.data());
    Cursor c{input.data() + kSizeFieldBytes,
             input.data() + input.size(),
             output.data(),
             0,
             std::min(declared, output.size()),
             std::min(declared, output.size()),
             0,
             0,
             false};
    const Stop stop = run(c, true);
    outcome.produced = c.pos;
    outcome.consumed = static_cast<std::size_t>(c.in - input.data());
    outcome.end = end_of(stop);
    outcome.reached_before_start = c.reached_before_start;
    return outcome;
}

std::size_t decompress_lrs_into(std::span<const std::uint8_t> input,
                                std::span<std::uint8_t> output) {
    return decode_lrs_into(input, output).produced;
}

std::uint64_t lrs_output_capacity_for(std::uint32_t declared, std::uint64_t payload_length) {
    const auto tokens = static_cast<std::size_t>(payload_length - kSizeFieldBytes);
    return std::min<std::uint64_t>(declared, max_output_for(tokens));
}

std::size_t lrs_output_capacity(std::span<const std::uint8_t> input) {
    const std::optional<std::uint32_t> declared = lrs_declared_size(input);
    if (!declared) {
        return input.size();
    }
    return std::min<std::size_t>(*declared, max_output_for(input.size() - kSizeFieldBytes));
}

Bytes decompress_lrs(std::span<const std::uint8_t> input) {
    if (!lrs_declared_size(input)) {
        return Bytes(input.begin(), input.end());
    }
    // The output can never outgrow what the stream could produce, so this
    // size decodes exactly as the declared one would.
    Bytes output(lrs_output_capacity(input));
    output.resize(decode_lrs_into(input, output).produced);
    return output;
}

LrsDecoder::LrsDecoder() = default;

void LrsDecoder::feed(std::span<const std::uint8_t> bytes) {
    if (ended_ || finished_ || bytes.empty()) {
        return;
    }
    // Drop what has been read once it outweighs what has not, so the buffer
    // holds about one feed's worth and compacting costs little per byte.
    if (input_pos_ != 0 && input_pos_ >= input_.size() - input_pos_) {
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(input_pos_));
        input_pos_ = 0;
    }
    input_.insert(input_.end(), bytes.begin(), bytes.end());
}

void LrsDecoder::finish() {
    finished_ = true;
}

std::size_t LrsDecoder::decode(std::span<std::uint8_t> out) {
    std::size_t written = 0;
    for (;;) {
        const std::size_t n = std::min(out.size() - written, filled_ - drained_);
        if (n != 0) {
            std::memcpy(out.data() + written, window_.data() + drained_, n);
            written += n;
            drained_ += n;
        }
        if (drained_ < filled_ || ended_ || !step()) {
            return written;
        }
    }
}

// Decodes more into the staging area, which the caller has drained; returns
// whether anything changed (false: more input is needed).
bool LrsDecoder::step() {
    const std::uint8_t* const start = input_.data() + input_pos_;
    const std::size_t available = input_.size() - input_pos_;
    if (!have_header_) {
        if (available < kSizeFieldBytes) {
            if (!finished_) {
                return false;
            }
            // No size field: the payload is its own output.
            window_.resize(available);
            if (available != 0) {
                std::memcpy(window_.data(), start, available);
            }
            input_pos_ += available;
            filled_ = available;
            outcome_.produced = available;
            outcome_.consumed = available;
            outcome_.end = LrsEnd::ShortInput;
            ended_ = true;
            return true;
        }
        declared_ = load_le32(start);
        // A window as large as the whole output needs no sliding, so a small
        // payload costs no more than its output.
        window_.resize(static_cast<std::size_t>(
            std::min<std::uint64_t>(declared_, kWindow + kStage + kMaxRefLength - 1)));
        input_pos_ += kSizeFieldBytes;
        outcome_.consumed = kSizeFieldBytes;
        have_header_ = true;
        return true;
    }
    if (outcome_.produced == declared_) {
        outcome_.end = LrsEnd::OutputFull;
        ended_ = true;
        return true;
    }
    if (filled_ >= kWindow + kStage && outcome_.produced < declared_) {
        // Full before the declared size, so it has its largest size: keep
        // only what references can still reach.
        std::memmove(window_.data(), window_.data() + filled_ - kWindow, kWindow);
        filled_ = kWindow;
        drained_ = kWindow;
    }
    const std::uint64_t wanted = declared_ - outcome_.produced;
    // Tokens start only below the staging end; a reference begun there may
    // run on into the spare bytes behind it, up to the declared size.
    const std::size_t room = std::min(window_.size(), kWindow + kStage) - filled_;
    const std::size_t spare = window_.size() - filled_;
    Cursor c{start,
             start + available,
             window_.data(),
             filled_,
             filled_ + static_cast<std::size_t>(std::min<std::uint64_t>(room, wanted)),
             filled_ + static_cast<std::size_t>(std::min<std::uint64_t>(spare, wanted)),
             control_,
             bits_left_,
             false};
    const Stop stop = run(c, finished_);
    const std::size_t read = static_cast<std::size_t>(c.in - start);
    const bool progress = read != 0 || c.pos != filled_;
    input_pos_ += read;
    outcome_.consumed += read;
    outcome_.produced += c.pos - filled_;
    outcome_.reached_before_start = outcome_.reached_before_start || c.reached_before_start;
    filled_ = c.pos;
    control_ = c.control;
    bits_left_ = c.bits_left;
    switch (stop) {
        case Stop::OutputFull:
            // Either the declared size (noticed on the next step) or the end
            // of the staging area.
            return true;
        case Stop::NeedInput:
            return progress;
        default:
            outcome_.end = end_of(stop);
            ended_ = true;
            return true;
    }
}

}  // namespace tarnwick_dat
