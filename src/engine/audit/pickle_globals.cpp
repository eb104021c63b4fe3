#include "audit/pickle_globals.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "lexical/python_chars.hpp"
#include "lexical/python_unicode.hpp"

namespace scanner_core {
namespace {

struct PickleName {
    std::string_view module, name, new_module, new_name;
};
struct PickleModule {
    std::string_view module, new_module;
};
#include "pickle_names_table.inc"

// Past these, the stack's pieces or the memo's entries are no longer held:
// what they hold is unknown from there on.
constexpr std::size_t kMostPieces = std::size_t{1} << 16;
constexpr std::size_t kMostMemo = std::size_t{1} << 16;
constexpr int kHighestProtocol = 5;

// The opcodes, as pickletools names them.
enum Opcode : unsigned char {
    kMark = 0x28,  // '('
    kEmptyTuple = 0x29,  // ')'
    kStop = 0x2e,  // '.'
    kPop = 0x30,  // '0'
    kPopMark = 0x31,  // '1'
    kDup = 0x32,  // '2'
    kBinbytes = 0x42,  // 'B'
    kShortBinbytes = 0x43,  // 'C'
    kFloat = 0x46,  // 'F'
    kBinfloat = 0x47,  // 'G'
    kInt = 0x49,  // 'I'
    kBinint = 0x4a,  // 'J'
    kBinint1 = 0x4b,  // 'K'
    kLong = 0x4c,  // 'L'
    kBinint2 = 0x4d,  // 'M'
    kNone = 0x4e,  // 'N'
    kPersid = 0x50,  // 'P'
    kBinpersid = 0x51,  // 'Q'
    kReduce = 0x52,  // 'R'
    kString = 0x53,  // 'S'
    kBinstring = 0x54,  // 'T'
    kShortBinstring = 0x55,  // 'U'
    kUnicode = 0x56,  // 'V'
    kBinunicode = 0x58,  // 'X'
    kEmptyList = 0x5d,  // ']'
    kAppend = 0x61,  // 'a'
    kBuild = 0x62,  // 'b'
    kGlobal = 0x63,  // 'c'
    kDict = 0x64,  // 'd'
    kAppends = 0x65,  // 'e'
    kGet = 0x67,  // 'g'
    kBinget = 0x68,  // 'h'
    kInst = 0x69,  // 'i'
    kLongBinget = 0x6a,  // 'j'
    kList = 0x6c,  // 'l'
    kObj = 0x6f,  // 'o'
    kPut = 0x70,  // 'p'
    kBinput = 0x71,  // 'q'
    kLongBinput = 0x72,  // 'r'
    kSetitem = 0x73,  // 's'
    kTuple = 0x74,  // 't'
    kSetitems = 0x75,  // 'u'
    kEmptyDict = 0x7d,  // '}'
    kProto = 0x80,  // '\x80'
    kNewobj = 0x81,  // '\x81'
    kExt1 = 0x82,  // '\x82'
    kExt2 = 0x83,  // '\x83'
    kExt4 = 0x84,  // '\x84'
    kTuple1 = 0x85,  // '\x85'
    kTuple2 = 0x86,  // '\x86'
    kTuple3 = 0x87,  // '\x87'
    kNewtrue = 0x88,  // '\x88'
    kNewfalse = 0x89,  // '\x89'
    kLong1 = 0x8a,  // '\x8a'
    kLong4 = 0x8b,  // '\x8b'
    kShortBinunicode = 0x8c,  // '\x8c'
    kBinunicode8 = 0x8d,  // '\x8d'
    kBinbytes8 = 0x8e,  // '\x8e'
    kEmptySet = 0x8f,  // '\x8f'
    kAdditems = 0x90,  // '\x90'
    kFrozenset = 0x91,  // '\x91'
    kNewobjEx = 0x92,  // '\x92'
    kStackGlobal = 0x93,  // '\x93'
    kMemoize = 0x94,  // '\x94'
    kFrame = 0x95,  // '\x95'
    kBytearray8 = 0x96,  // '\x96'
    kNextBuffer = 0x97,  // '\x97'
    kReadonlyBuffer = 0x98,  // '\x98'
};

// What a slot of the stack or the memo holds, as far as imports care.
enum class Held : std::uint8_t { unknown, other, text, mark };

// A text of the payload: `size` bytes at `at`, UTF-8, or Latin-1 (UNICODE's
// raw bytes, without escapes) when `latin1`.
struct Value {
    Held held = Held::unknown;
    bool latin1 = false;
    std::size_t at = 0;
    std::size_t size = 0;
};

// A run of the stack: `count` marks or values alike (unknown or no text),
// or one text.
struct Piece {
    Value value;
    std::uint64_t count = 1;
    std::uint64_t below = 0;  // a run of marks: the values between its first mark and the mark before
};

// Whether `text` decodes as UTF-8: strictly (GLOBAL's names), or with
// surrogates passed (the unicode opcodes' surrogatepass).
bool valid_utf8(std::string_view text, bool surrogates) noexcept {
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80) {
            ++at;
            continue;
        }
        if (surrogates) {
            const unicode::Utf8Char c = unicode::decode_utf8(text, at);
            if (c.code_point == unicode::kNotUtf8) return false;
            at += c.length;
            continue;
        }
        char32_t code_point = 0;
        const int length = python_chars::decode_utf8(text.data() + at, text.data() + text.size(), code_point);
        if (length <= 0) return false;
        at += static_cast<std::size_t>(length);
    }
    return true;
}

bool ascii(std::string_view text) noexcept {
    return std::all_of(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
}

// The unpickler as far as imports go: one pass over the payload, each
// opcode's argument read in place, the stack held as runs (so that a run of
// values alike costs one piece), the memo as a map of its known entries.
class Machine {
public:
    Machine(std::string_view payload, const std::function<void(const PickleGlobal&)>& take)
        : payload_(payload), take_(take) {}

    PickleEnd run();

private:
    // --- the payload's arguments: false when it ends first (truncated)
    bool bytes(std::uint64_t count, std::string_view& out) noexcept {
        if (payload_.size() - at_ < count) return false;
        out = payload_.substr(at_, static_cast<std::size_t>(count));
        at_ += static_cast<std::size_t>(count);
        return true;
    }
    bool unsigned_le(int size, std::uint64_t& out) noexcept {
        std::string_view raw;
        if (!bytes(static_cast<std::uint64_t>(size), raw)) return false;
        out = 0;
        for (int k = size - 1; k >= 0; --k) out = (out << 8) | static_cast<unsigned char>(raw[static_cast<std::size_t>(k)]);
        return true;
    }
    bool line(std::string_view& out) noexcept {
        const void* end = std::memchr(payload_.data() + at_, '\n', payload_.size() - at_);
        if (end == nullptr) return false;
        const std::size_t size = static_cast<std::size_t>(static_cast<const char*>(end) - (payload_.data() + at_));
        out = payload_.substr(at_, size);
        at_ += size + 1;
        return true;
    }
    Value text_value(std::string_view text, bool latin1 = false) const noexcept {
        Value value;
        value.held = Held::text;
        value.latin1 = latin1;
        value.at = static_cast<std::size_t>(text.data() - payload_.data());
        value.size = text.size();
        return value;
    }
    std::string text_of(const Value& value) const {
        const std::string_view raw = payload_.substr(value.at, value.size);
        if (!value.latin1) return std::string(raw);
        std::string out;
        for (const char c : raw) unicode::append_utf8(static_cast<unsigned char>(c), out);
        return out;
    }

    // --- the stack; false where the unpickler raises
    void lose() noexcept {
        lost_ = true;
        stack_.clear();
        values_ = above_ = marks_ = 0;
        forget_memo();
    }
    void push(const Value& value) {
        if (lost_) return;
        if (!stack_.empty() && value.held != Held::text && stack_.back().value.held == value.held) {
            ++stack_.back().count;
        } else if (stack_.size() >= kMostPieces) {
            lose();
            return;
        } else {
            stack_.push_back({value, 1, above_});
        }
        if (value.held != Held::mark) {
            ++values_;
            ++above_;
        } else {
            ++marks_;
            above_ = 0;
        }
    }
    void push(Held held) {
        Value value;
        value.held = held;
        push(value);
    }
    // The value on top, above the last mark.
    bool top(Value& out) const noexcept {
        if (lost_) {
            out = Value{};
            return true;
        }
        if (above_ == 0) return false;
        out = stack_.back().value;
        return true;
    }
    bool pop(Value& out) noexcept {
        if (!top(out)) return false;
        if (lost_) return true;
        if (--stack_.back().count == 0) stack_.pop_back();
        --values_;
        --above_;
        return true;
    }
    bool pop(int count) noexcept {
        if (!lost_ && above_ < static_cast<std::uint64_t>(count)) return false;
        Value ignored;
        for (int k = 0; k < count; ++k) pop(ignored);
        return true;
    }
    // The values above the last mark, and the mark; `popped` counts them.
    bool pop_mark(std::uint64_t& popped) noexcept {
        popped = 0;
        if (lost_) return true;
        while (!stack_.empty() && stack_.back().value.held != Held::mark) {
            popped += stack_.back().count;
            values_ -= stack_.back().count;
            stack_.pop_back();
        }
        if (stack_.empty()) return false;
        drop_mark();
        return true;
    }
    // Drops the mark on top: the values above the mark before it are on top then.
    void drop_mark() noexcept {
        Piece& marks = stack_.back();
        --marks_;
        if (--marks.count > 0) {
            above_ = 0;
            return;
        }
        above_ = marks.below;
        stack_.pop_back();
    }
    bool has_mark() const noexcept { return lost_ || marks_ > 0; }

    // --- the memo
    void forget_memo() noexcept {
        // A fresh map, not clear(), which costs the buckets a full one left behind at every call.
        if (!memo_.empty()) std::unordered_map<std::uint64_t, Value>().swap(memo_);
        memo_exact_ = false;
    }
    bool put(std::uint64_t key) {
        Value value;
        if (!top(value)) return false;
        if (memo_.size() >= kMostMemo && memo_.count(key) == 0) {
            forget_memo();
            return true;
        }
        memo_[key] = value;
        return true;
    }
    bool get(std::uint64_t key) {
        const auto found = memo_.find(key);
        if (found != memo_.end()) {
            push(found->second);
            return true;
        }
        if (memo_exact_) return false;  // "Memo value not found"
        push(Held::unknown);
        return true;
    }
    // A PUT or GET's decimal line: true with the key when it is digits alone.
    static bool decimal_key(std::string_view text, std::uint64_t& key) noexcept {
        if (text.empty() || text.size() > 18) return false;
        key = 0;
        for (const char c : text) {
            if (c < '0' || c > '9') return false;
            key = key * 10 + static_cast<std::uint64_t>(c - '0');
        }
        return true;
    }

    // --- what find_class takes
    void take_global(std::size_t offset, std::string module, std::string name) {
        PickleGlobal found;
        found.offset = offset;
        found.known = true;
        found.dotted = protocol_ >= 4;
        if (protocol_ < 3) {
            std::string new_module = module;
            std::string new_name = name;
            if (map_python2_name(new_module, new_name)) {
                found.mapped = true;
                found.original_module = std::move(module);
                found.original_name = std::move(name);
                module = std::move(new_module);
                name = std::move(new_name);
            }
        }
        found.module = std::move(module);
        found.name = std::move(name);
        take_(found);
    }
    void take_unknown(std::size_t offset) {
        PickleGlobal found;
        found.offset = offset;
        take_(found);
    }

    bool step(unsigned char op, std::size_t offset);
    // A text's opcode: its bytes, read with `size` bytes of length.
    bool unicode_text(int size);
    bool byte_string(std::string_view raw);

    std::string_view payload_;
    const std::function<void(const PickleGlobal&)>& take_;
    std::size_t at_ = 0;
    int protocol_ = 0;
    std::vector<Piece> stack_;
    std::uint64_t values_ = 0;  // the values on the stack, marks aside
    std::uint64_t above_ = 0;   // those above the last mark
    std::uint64_t marks_ = 0;
    bool lost_ = false;         // past the bounds: the stack is not followed
    std::unordered_map<std::uint64_t, Value> memo_;
    bool memo_exact_ = true;    // every entry of the memo is known
};

PickleEnd Machine::run() {
    while (at_ < payload_.size()) {
        const std::size_t offset = at_;
        const auto op = static_cast<unsigned char>(payload_[at_++]);
        if (op == kStop) return PickleEnd::stop;
        if (!step(op, offset)) return PickleEnd::refused;
    }
    return PickleEnd::refused;  // "Ran out of input"
}

bool Machine::unicode_text(int size) {
    std::uint64_t length = 0;
    std::string_view text;
    if (!unsigned_le(size, length) || !bytes(length, text)) return false;
    if (!valid_utf8(text, true)) return false;  // decoded with surrogatepass
    push(text_value(text));
    return true;
}

bool Machine::byte_string(std::string_view raw) {
    // A str under the default encoding (ASCII); other bytes raise there, or
    // give a str or bytes under another encoding: not known.
    push(ascii(raw) ? text_value(raw) : Value{});
    return true;
}

bool Machine::step(unsigned char op, std::size_t offset) {
    std::uint64_t number = 0;
    std::string_view text;
    std::string_view second;
    Value value;
    switch (op) {
        case kMark: push(Held::mark); return true;
        case kPop:  // a mark on top is popped too
            if (!lost_ && above_ == 0 && !stack_.empty()) {
                drop_mark();
                return true;
            }
            return pop(1);
        case kPopMark: return pop_mark(number);
        case kDup:
            if (!top(value)) return false;
            push(value);
            return true;
        case kBinbytes: return unsigned_le(4, number) && bytes(number, text) && (push(Held::other), true);
        case kShortBinbytes: return unsigned_le(1, number) && bytes(number, text) && (push(Held::other), true);
        case kBinbytes8:
        case kBytearray8: return unsigned_le(8, number) && bytes(number, text) && (push(Held::other), true);
        case kFloat:
        case kInt:
        case kLong: return line(text) && (push(Held::other), true);
        case kBinfloat: return bytes(8, text) && (push(Held::other), true);
        case kBinint: return bytes(4, text) && (push(Held::other), true);
        case kBinint1: return bytes(1, text) && (push(Held::other), true);
        case kBinint2: return bytes(2, text) && (push(Held::other), true);
        case kLong1: return unsigned_le(1, number) && bytes(number, text) && (push(Held::other), true);
        case kLong4:
            if (!unsigned_le(4, number) || number >= 0x80000000u) return false;  // a negative count raises
            return bytes(number, text) && (push(Held::other), true);
        case kNone:
        case kNewtrue:
        case kNewfalse:
        case kEmptyTuple:
        case kEmptyList:
        case kEmptyDict:
        case kEmptySet:
        case kNextBuffer:  // a buffer, given by buffers= (else it raises)
            push(Held::other);
            return true;
        case kPersid:
        case kBinpersid: return false;  // pickle.loads has no persistent_load
        case kReduce:
        case kBuild:
        case kNewobj: return pop(2) && (push(Held::unknown), true);
        case kNewobjEx: return pop(3) && (push(Held::unknown), true);
        // The list or dict below: no str has append or __setitem__.
        case kAppend: return pop(2) && (push(Held::other), true);
        case kSetitem: return pop(3) && (push(Held::other), true);
        case kTuple1: return pop(1) && (push(Held::other), true);
        case kTuple2: return pop(2) && (push(Held::other), true);
        case kTuple3: return pop(3) && (push(Held::other), true);
        case kReadonlyBuffer: return pop(1) && (push(Held::other), true);
        case kString: {
            if (!line(text)) return false;
            if (text.size() < 2 || text.front() != text.back() || (text.front() != '"' && text.front() != '\'')) {
                return false;  // "the STRING opcode argument must be quoted"
            }
            text = text.substr(1, text.size() - 2);
            if (text.find('\\') != std::string_view::npos) {  // escapes: not followed
                push(Held::unknown);
                return true;
            }
            return byte_string(text);
        }
        case kBinstring:
            if (!unsigned_le(4, number) || number >= 0x80000000u) return false;  // a negative count raises
            return bytes(number, text) && byte_string(text);
        case kShortBinstring: return unsigned_le(1, number) && bytes(number, text) && byte_string(text);
        case kUnicode:
            if (!line(text)) return false;
            // raw-unicode-escape: without a backslash, each byte is its code point.
            push(text.find('\\') == std::string_view::npos ? text_value(text, true) : Value{});
            return true;
        case kBinunicode: return unicode_text(4);
        case kShortBinunicode: return unicode_text(1);
        case kBinunicode8: return unicode_text(8);
        case kGlobal:
            if (!line(text) || !line(second)) return false;
            if (!valid_utf8(text, false) || !valid_utf8(second, false)) return false;
            take_global(offset, std::string(text), std::string(second));
            push(Held::unknown);
            return true;
        case kInst:
            if (!has_mark()) return false;  // the mark is looked for first
            if (!line(text) || !line(second) || !ascii(text) || !ascii(second)) return false;
            take_global(offset, std::string(text), std::string(second));
            return pop_mark(number) && (push(Held::unknown), true);
        case kStackGlobal: {
            Value name;
            Value module;
            if (!pop(name) || !pop(module)) return false;
            if (name.held == Held::other || module.held == Held::other) return false;  // "requires str"
            if (name.held == Held::text && module.held == Held::text) {
                take_global(offset, text_of(module), text_of(name));
            } else {
                take_unknown(offset);
            }
            push(Held::unknown);
            return true;
        }
        case kDict:
        case kList:
        case kTuple:
        case kFrozenset: return pop_mark(number) && (push(Held::other), true);
        case kObj: return pop_mark(number) && (lost_ || number >= 1) && (push(Held::unknown), true);
        case kAppends:
        case kSetitems:
        case kAdditems:
            // What is added to the object below the mark, which must be there.
            return pop_mark(number) && (lost_ || values_ > 0);
        case kGet:
            if (!line(text)) return false;
            if (!decimal_key(text, number)) {
                push(Held::unknown);
                return true;
            }
            return get(number);
        case kBinget: return unsigned_le(1, number) && get(number);
        case kLongBinget: return unsigned_le(4, number) && get(number);
        case kPut:
            if (!line(text)) return false;
            if (!decimal_key(text, number)) {  // Python reads more forms of ints: which entry is not known
                if (!top(value)) return false;
                forget_memo();
                return true;
            }
            return put(number);
        case kBinput: return unsigned_le(1, number) && put(number);
        case kLongBinput: return unsigned_le(4, number) && put(number);
        case kMemoize:
            if (!memo_exact_) {
                if (!top(value)) return false;
                forget_memo();
                return true;
            }
            return put(memo_.size());
        case kProto:
            if (!unsigned_le(1, number) || number > kHighestProtocol) return false;
            protocol_ = static_cast<int>(number);
            return true;
        case kFrame:  // a frame's length, which must be there; its opcodes follow
            return unsigned_le(8, number) && payload_.size() - at_ >= number;
        case kExt1:
        case kExt2:
        case kExt4: {
            // An object of copyreg's registry of extensions, which the plugin may fill.
            const int size = op == kExt1 ? 1 : op == kExt2 ? 2 : 4;
            if (!unsigned_le(size, number)) return false;
            take_unknown(offset);
            push(Held::unknown);
            return true;
        }
        default: return false;  // "invalid load key"
    }
}

}  // namespace

bool map_python2_name(std::string& module, std::string& name) {
    const std::string_view wanted_module = module;
    const std::string_view wanted_name = name;
    const auto pair = std::lower_bound(
        std::begin(kNameMapping), std::end(kNameMapping), 0, [&](const PickleName& entry, int) {
            return std::tie(entry.module, entry.name) < std::tie(wanted_module, wanted_name);
        });
    if (pair != std::end(kNameMapping) && pair->module == module && pair->name == name) {
        module.assign(pair->new_module);
        name.assign(pair->new_name);
        return true;
    }
    const auto alone = std::lower_bound(std::begin(kImportMapping), std::end(kImportMapping), 0,
                                        [&](const PickleModule& entry, int) { return entry.module < wanted_module; });
    if (alone != std::end(kImportMapping) && alone->module == module) {
        module.assign(alone->new_module);
        return true;
    }
    return false;
}

PickleEnd read_pickle_globals(std::string_view payload, const std::function<void(const PickleGlobal&)>& take) {
    Machine machine(payload, take);
    return machine.run();
}

}  // namespace scanner_core
