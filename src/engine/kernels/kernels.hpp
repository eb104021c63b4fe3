// The engine's byte kernels: every loop that classifies many bytes at a
// time. Each is written once, over a vector type and 64-byte blocks of it
// (block_kernels.inc), and compiled once per instruction set
// (kernels_<set>.cpp, each defining the vector); one table of them
// is active, chosen when the library loads from what the processor has, or
// forced by the environment variable SCANNER_CORE_ISA or by a test. Every
// table gives the same results: the choice is one of speed only. SHA-256's
// compression is chosen with the table: the processor's SHA instructions
// beside any x86-64 set when it has them, portable C++ with `plain`.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace scanner_core {

// The instruction sets the kernels are compiled for, narrowest first:
// `plain` is portable C++ (the only one off x86-64), `sse2` every x86-64
// processor's, `avx2` with POPCNT, `avx512` its F and BW parts with POPCNT,
// `avx512vbmi` those and VBMI's byte permutes.
enum class InstructionSet : unsigned char { plain, sse2, avx2, avx512, avx512vbmi };

inline constexpr InstructionSet kInstructionSets[] = {InstructionSet::plain, InstructionSet::sse2,
                                                      InstructionSet::avx2, InstructionSet::avx512,
                                                      InstructionSet::avx512vbmi};

// What one 64-byte block of a piece holds for the stages that read it, one
// bit a byte (bit k for byte k), in two parts, each classified when its
// reader asks and kept in an array of its own, so that a reader of one
// part passes over no bytes of the other: the line scan's part ...
struct LineMasks {
    std::uint64_t feeds;   // '\n'
    std::uint64_t blanks;  // ' ' and '\t', of which a line's lead is made
    std::uint64_t firsts;  // "fr" or "im" begins here (its second letter may be the byte after the block)
};

// ... and the audit's skipper's.
struct CodeMasks {
    std::uint64_t feeds;     // '\n'
    std::uint64_t special;   // what the skipper reads in order: a quote, '#', a backslash, a control
                             // character other than a tab, a form feed or a line feed (a carriage
                             // return among them), a byte Python refuses in code ('$', '?', '`',
                             // DEL), a byte above 0x7f
    std::uint64_t brackets;  // '(', '[', '{', ')', ']', '}'
    std::uint64_t closers;   // ')', ']', '}': of the brackets, those that close
    std::uint64_t parens;    // '(', ')'
    // One of next_trigger's words may begin here: each that does, whole
    // before the text's end, and a few that do not (three of its letters
    // match), which whoever reads the mask checks.
    std::uint64_t words;
};

// What a chunk of up to 64 blocks of 64 bytes holds for the line scan, one
// bit a byte (bit k for byte k of a block): its line feeds, and the blocks
// where a line's first byte past its leading blanks and tabs starts "fr"
// or "im" (whose second letter may be the byte after the block).
struct LineChunk {
    static constexpr std::size_t kBlocks = 64;
    struct Busy {
        std::uint32_t block;         // index of the block in the chunk
        std::uint32_t feeds_before;  // line feeds in the chunk before the block
        std::uint64_t feeds;         // '\n'
        std::uint64_t candidates;    // those first bytes
    };
    Busy busy[kBlocks];  // the first `busy_count` are the chunk's busy blocks, in order
    // The line feeds of every block of the chunk, and 0 after the last:
    // most lines that run past their block end in the next one.
    std::uint64_t feeds[kBlocks + 1];
    std::uint32_t busy_count;
    std::uint32_t feed_count;  // line feeds in the whole chunk
};

// Of the line starts in a block, the positions of the first byte after
// their leading blanks and tabs, and whether the next block's first byte
// starts a line or continues the leading blanks of one (`starts_out`), from
// the block's line feeds and blanks. Adding a start bit to its run of
// blanks carries through the run to that byte. `starts_in` says the same of
// this block's first byte; it only adds the block's first byte that is not
// a blank (or, with none, passes the carry on), which keeps the chain from
// block to block two operations long. Never fails.
struct LineHeads {
    std::uint64_t heads;
    std::uint64_t starts_out;
};

inline LineHeads line_heads(std::uint64_t feeds, std::uint64_t blanks, std::uint64_t starts_in) noexcept {
    const std::uint64_t starts = feeds << 1;
    const std::uint64_t carried = (starts & blanks) + blanks;
    const std::uint64_t non_blanks = ~blanks;
    const std::uint64_t own_heads = (carried & non_blanks) | (starts & non_blanks);
    const std::uint64_t first_non_blank = non_blanks & (0 - non_blanks);
    const std::uint64_t own_out = (feeds >> 63) | (carried < blanks ? 1u : 0u);
    const std::uint64_t all_blank = non_blanks == 0 ? 1u : 0u;
    return {own_heads | (first_non_blank & (0 - starts_in)), own_out | (starts_in & all_blank)};
}

// The classes of bytes a run may be made of, as the import patterns use them.
enum : unsigned char { kRunSpace = 1, kRunWord = 2, kRunDot = 4 };

// One instruction set's kernels. None fails, allocates or keeps state: each
// may run on any number of threads at once.
struct Kernels {
    InstructionSet set;
    // The first position in [p, end) whose byte is of the kernel's set, or
    // `end`; the sets are byte_scan.hpp's.
    const char* (*string_stop)(const char* p, const char* end, char quote) noexcept;
    const char* (*fstring_stop)(const char* p, const char* end, char quote) noexcept;
    // string_stop for a triple-quoted string, where a line feed is text:
    // the first quote, backslash, carriage return or byte above 0x7f, or
    // `end`; adds the line feeds before it to `line_feeds`.
    const char* (*triple_stop)(const char* p, const char* end, char quote, std::int64_t& line_feeds) noexcept;
    const char* (*line_end)(const char* p, const char* end) noexcept;
    const char* (*non_name)(const char* p, const char* end) noexcept;
    const char* (*trigger)(const char* p, const char* end) noexcept;
    // The parts `lines` and `code` ask for (each null or an array of
    // `blocks`) of the `blocks` blocks from `data`, of a text that ends at
    // `end`, which may cut the last block or come before it: the bytes from
    // `end` on are taken for NUL bytes and none of them is read.
    void (*classify_blocks)(const char* data, std::size_t blocks, const char* end, LineMasks* lines,
                            CodeMasks* code) noexcept;
    // `out` for the `blocks` blocks (at most LineChunk::kBlocks) from
    // `data`; the byte after the last must be readable. `starts_in` is 1
    // when the first block's first byte starts a line or continues the
    // leading blanks of one, else 0; returns the same of the byte after the
    // last block.
    std::uint64_t (*line_chunk)(const char* data, std::size_t blocks, std::uint64_t starts_in, LineChunk& out) noexcept;
    // line_chunk of the same `count` blocks from their classified line
    // parts, the second letters of the firsts included.
    std::uint64_t (*line_chunk_of)(const LineMasks* blocks, std::size_t count, std::uint64_t starts_in,
                                   LineChunk& out) noexcept;
    // The first position from `pos` in the `size` bytes at `s` whose byte is
    // in none of the classes `classes` (kRun...), or `size`.
    std::size_t (*skip_run)(const char* s, std::size_t size, std::size_t pos, unsigned char classes) noexcept;
    // The first position from `pos` in the `size` bytes at `s` whose byte
    // is not printable ASCII (0x20 to 0x7e), or is a backslash or `quote`,
    // or `size`: where an escaping writer must look.
    std::size_t (*plain_run)(const char* s, std::size_t size, std::size_t pos, char quote) noexcept;
    // SHA-256's compression of the `count` 64-byte blocks at `data` into
    // the eight words of `state`.
    void (*sha256_blocks)(std::uint32_t* state, const unsigned char* data, std::size_t count) noexcept;
};

namespace kernel_detail {
// Each set's table, defined by kernels_<set>.cpp; off x86-64 only the plain
// one. The x86-64 sets have a second table (`...Sha`) whose SHA-256 takes
// the processor's SHA instructions.
extern const Kernels kPlain;
#if defined(__x86_64__)
extern const Kernels kSse2;
extern const Kernels kSse2Sha;
extern const Kernels kAvx2;
extern const Kernels kAvx2Sha;
extern const Kernels kAvx512;
extern const Kernels kAvx512Sha;
extern const Kernels kAvx512Vbmi;
extern const Kernels kAvx512VbmiSha;
#endif

// SHA-256's compressions (kernels_sha256.cpp), as Kernels::sha256_blocks
// says: in portable C++, and with the processor's SHA instructions (with
// SSSE3 and SSE4.1), which only a processor that has them may run.
void sha256_blocks_portable(std::uint32_t* state, const unsigned char* data, std::size_t count) noexcept;
#if defined(__x86_64__)
void sha256_blocks_sha(std::uint32_t* state, const unsigned char* data, std::size_t count) noexcept;
#endif

// The active table. Never null: the baseline's until the library's load
// has chosen, so that a kernel called before then is still right.
extern std::atomic<const Kernels*> active;
}  // namespace kernel_detail

// The active table. Never fails; thread-safe.
inline const Kernels& kernels() noexcept { return *kernel_detail::active.load(std::memory_order_relaxed); }

// Whether this processor and build can run `set`'s kernels. Never fails;
// thread-safe.
bool instruction_set_available(InstructionSet set) noexcept;

// The widest set available. Never fails; thread-safe.
InstructionSet best_instruction_set() noexcept;

// The set of the active table. Never fails; thread-safe.
InstructionSet active_instruction_set() noexcept;

// Whether this processor and build can run SHA-256 on the processor's SHA
// instructions. Never fails; thread-safe.
bool sha_instructions_available() noexcept;

// Whether the active table's SHA-256 runs on them: every set's but
// `plain`'s, where they are available. Never fails; thread-safe.
bool sha_instructions_active() noexcept;

// Makes `set`'s table the active one (its SHA-256 as said above), for
// every scan and hash from then on, and returns true; returns false and
// changes nothing when `set` is not available. For tests, which run every
// available set in turn; scans and hashes running meanwhile stay right,
// since every table gives the same results.
// Not to be called from more than one thread at once.
bool force_instruction_set(InstructionSet set) noexcept;

// "plain", "sse2", "avx2", "avx512" or "avx512vbmi". Never fails.
const char* instruction_set_name(InstructionSet set) noexcept;

// The set named `name` (as instruction_set_name spells it), or none.
std::optional<InstructionSet> instruction_set_named(std::string_view name) noexcept;

// The set the library takes when it loads: the one SCANNER_CORE_ISA names
// when it names an available one, else the widest available. A value that
// names no set, or one this processor lacks, is reported on standard error
// and the widest available taken instead, so that a copied setting never
// stops a scan and never goes unseen.
InstructionSet instruction_set_at_load() noexcept;

}  // namespace scanner_core
