// Cases for the audit's stage, each checked both ways: with the fast pass
// that skips lines, and token by token.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audit_support.hpp"

namespace scanner_core::testing {

struct AuditCase {
    const char* why;
    std::string source;
    const char* expected;  // AuditOutcome::describe()
};

inline void expect_audits(const std::vector<AuditCase>& cases) {
    for (const AuditCase& c : cases) {
        for (const bool skipping : {true, false}) {
            EXPECT_EQ(audit_text(c.source, skipping).describe(), c.expected)
                << c.why << (skipping ? "" : ", read token by token");
        }
    }
}

}  // namespace scanner_core::testing
