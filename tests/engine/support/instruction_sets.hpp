// Running a test once per instruction set this processor has, so that every
// kernel table's path is held to the same results.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "kernels/kernels.hpp"

namespace scanner_core::testing {

// The sets this processor and build can run, narrowest first.
inline std::vector<InstructionSet> available_instruction_sets() {
    std::vector<InstructionSet> sets;
    for (const InstructionSet set : kInstructionSets) {
        if (instruction_set_available(set)) sets.push_back(set);
    }
    return sets;
}

// Makes `set` active for its lifetime, then the one that was; fails the
// test if `set` is not available.
class ForcedInstructionSet {
public:
    explicit ForcedInstructionSet(InstructionSet set) : before_(active_instruction_set()) {
        EXPECT_TRUE(force_instruction_set(set)) << instruction_set_name(set);
    }
    ~ForcedInstructionSet() { force_instruction_set(before_); }
    ForcedInstructionSet(const ForcedInstructionSet&) = delete;
    ForcedInstructionSet& operator=(const ForcedInstructionSet&) = delete;

private:
    InstructionSet before_;
};

}  // namespace scanner_core::testing
