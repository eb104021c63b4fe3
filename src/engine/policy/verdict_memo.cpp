#include "policy/verdict_memo.hpp"

#include <cstring>

namespace scanner_core {

std::uint64_t VerdictMemo::hash(std::string_view name) noexcept {
    // Eight bytes at a time, mixed by multiplication; the last eight, or
    // the last four and first four of a shorter name, overlap what came
    // before rather than being read byte by byte. Names are short, and a
    // byte-at-a-time hash would cost more than the lookup it serves.
    constexpr std::uint64_t kMultiplier = 0x9fb21c651e98df25u;
    const auto mix = [](std::uint64_t hash, std::uint64_t word) {
        hash = (hash ^ word) * kMultiplier;
        return hash ^ (hash >> 29);
    };
    const auto load = [](const char* at, std::size_t size) {
        std::uint64_t word = 0;
        std::memcpy(&word, at, size);
        return word;
    };
    const char* at = name.data();
    const std::size_t size = name.size();
    std::uint64_t hash = 0x243f6a8885a308d3u ^ size;
    if (size >= 8) {
        for (std::size_t offset = 0; offset + 8 < size; offset += 8) hash = mix(hash, load(at + offset, 8));
        hash = mix(hash, load(at + size - 8, 8));
    } else if (size >= 4) {
        hash = mix(hash, load(at, 4) | load(at + size - 4, 4) << 32);
    } else {
        std::uint64_t word = 0;
        for (std::size_t k = 0; k < size; ++k) word |= static_cast<std::uint64_t>(static_cast<unsigned char>(at[k])) << (8 * k);
        hash = mix(hash, word);
    }
    hash *= kMultiplier;
    return hash ^ (hash >> 32);
}

void VerdictMemo::bind(const void* policy, const void* local_modules) noexcept {
    if (policy == policy_ && local_modules == local_modules_) return;
    policy_ = policy;
    local_modules_ = local_modules;
    longest_local_known_ = false;
    if (count_ == 0) return;
    for (std::size_t slot = 0; slot < kSlots; ++slot) slots_[slot].size = 0;
    count_ = 0;
    names_used_ = 0;
}

const VerdictMemo::Slot* VerdictMemo::slot_of(std::string_view name, std::uint64_t hash) const noexcept {
    if (count_ == 0) return nullptr;
    for (std::size_t slot = hash & (kSlots - 1);; slot = (slot + 1) & (kSlots - 1)) {
        const Slot& entry = slots_[slot];
        if (entry.size == 0) return nullptr;  // the table is never full
        if (entry.hash == hash && entry.size == name.size() &&
            std::memcmp(names_.get() + entry.offset, name.data(), name.size()) == 0) {
            return &entry;
        }
    }
}

VerdictMemo::Slot* VerdictMemo::slot_made(std::string_view name, std::uint64_t hash) {
    if (const Slot* known = slot_of(name, hash)) return const_cast<Slot*>(known);
    if (!keeps(name) || count_ >= kMostNames || kNameBytes - names_used_ < name.size()) return nullptr;
    if (!slots_) {
        slots_.reset(new Slot[kSlots]());
        names_.reset(new char[kNameBytes]);
    }
    std::size_t slot = hash & (kSlots - 1);
    while (slots_[slot].size != 0) slot = (slot + 1) & (kSlots - 1);
    std::memcpy(names_.get() + names_used_, name.data(), name.size());
    slots_[slot] = Slot{hash, static_cast<std::uint32_t>(names_used_), static_cast<std::uint32_t>(name.size()),
                        ImportVerdict::silent, 0, false};
    names_used_ += name.size();
    ++count_;
    return &slots_[slot];
}

const ImportVerdict* VerdictMemo::find(std::string_view name, std::uint64_t hash) const noexcept {
    const Slot* entry = slot_of(name, hash);
    return entry != nullptr && (entry->known & kVerdict) != 0 ? &entry->verdict : nullptr;
}

void VerdictMemo::remember(std::string_view name, std::uint64_t hash, ImportVerdict verdict) {
    Slot* entry = slot_made(name, hash);
    if (entry == nullptr) return;
    entry->verdict = verdict;
    entry->known |= kVerdict;
}

int VerdictMemo::find_follows(std::string_view name, std::uint64_t hash) const noexcept {
    const Slot* entry = slot_of(name, hash);
    if (entry == nullptr || (entry->known & kFollows) == 0) return -1;
    return entry->follows ? 1 : 0;
}

void VerdictMemo::remember_follows(std::string_view name, std::uint64_t hash, bool follows) {
    Slot* entry = slot_made(name, hash);
    if (entry == nullptr) return;
    entry->follows = follows;
    entry->known |= kFollows;
}

}  // namespace scanner_core
