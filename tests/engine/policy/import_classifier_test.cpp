#include "policy/import_classifier.hpp"
#include "policy/verdict_memo.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace scanner_core {
namespace {

ImportClassifier policy(std::unordered_set<std::string> forbidden, std::unordered_set<std::string> exact,
                        std::vector<std::string> prefixes) {
    return ImportClassifier(std::move(forbidden), std::move(exact), std::move(prefixes));
}

TEST(IsForbidden, LooksUpTheRootOnly) {
    const ImportClassifier classifier = policy({"os", "a.b"}, {}, {});
    EXPECT_TRUE(classifier.is_forbidden("os"));
    EXPECT_TRUE(classifier.is_forbidden("os.path"));
    EXPECT_TRUE(classifier.is_forbidden("os."));
    EXPECT_TRUE(classifier.is_forbidden("os..x"));
    EXPECT_FALSE(classifier.is_forbidden("osx"));
    EXPECT_FALSE(classifier.is_forbidden("x.os"));
    // A dotted entry is never a root, so it forbids nothing.
    EXPECT_FALSE(classifier.is_forbidden("a.b"));
    EXPECT_FALSE(classifier.is_forbidden("a"));
}

TEST(IsForbidden, EmptyRootIsForbiddenOnlyByTheEmptyEntry) {
    EXPECT_FALSE(policy({"x"}, {}, {}).is_forbidden(""));
    EXPECT_FALSE(policy({"x"}, {}, {}).is_forbidden(".x"));
    const ImportClassifier classifier = policy({""}, {}, {});
    EXPECT_TRUE(classifier.is_forbidden(""));
    EXPECT_TRUE(classifier.is_forbidden(".x"));
    EXPECT_TRUE(classifier.is_forbidden("..x.y"));
    EXPECT_FALSE(classifier.is_forbidden("x"));
}

TEST(IsForbidden, IsCaseSensitiveAndByteExact) {
    const ImportClassifier classifier = policy({"os", "caf\xc3\xa9"}, {}, {});
    EXPECT_FALSE(classifier.is_forbidden("OS"));
    EXPECT_FALSE(classifier.is_forbidden("Os.path"));
    EXPECT_TRUE(classifier.is_forbidden("caf\xc3\xa9.x"));
    EXPECT_FALSE(classifier.is_forbidden("cafe\xcc\x81"));  // the same word, decomposed
}

TEST(IsAllowed, ExactEntryWithoutDotAllowsThePackageAndEverythingBelow) {
    const ImportClassifier classifier = policy({}, {"json"}, {});
    EXPECT_TRUE(classifier.is_allowed("json"));
    EXPECT_TRUE(classifier.is_allowed("json.decoder"));
    EXPECT_FALSE(classifier.is_allowed("jsonschema"));
    EXPECT_FALSE(classifier.is_allowed("JSON"));
}

TEST(IsAllowed, DottedExactEntryAllowsThatNameAlone) {
    const ImportClassifier classifier = policy({}, {"a.b"}, {});
    EXPECT_TRUE(classifier.is_allowed("a.b"));
    EXPECT_FALSE(classifier.is_allowed("a.b.c"));
    EXPECT_FALSE(classifier.is_allowed("a"));
}

TEST(IsAllowed, PrefixAllowsItselfAndNamesContinuingWithADot) {
    const ImportClassifier classifier = policy({}, {}, {"a"});
    EXPECT_TRUE(classifier.is_allowed("a"));
    EXPECT_TRUE(classifier.is_allowed("a.b"));
    EXPECT_TRUE(classifier.is_allowed("a.b.c"));
    EXPECT_TRUE(classifier.is_allowed("a."));
    EXPECT_FALSE(classifier.is_allowed("ab"));
    EXPECT_FALSE(classifier.is_allowed("abc.d"));
    EXPECT_FALSE(classifier.is_allowed("b.a"));
    EXPECT_FALSE(classifier.is_allowed(""));
}

TEST(IsAllowed, DottedPrefixNeverMatchesShorterOrMerelySimilarNames) {
    const ImportClassifier classifier = policy({}, {}, {"toolkit.api"});
    EXPECT_TRUE(classifier.is_allowed("toolkit.api"));
    EXPECT_TRUE(classifier.is_allowed("toolkit.api.widgets"));
    EXPECT_FALSE(classifier.is_allowed("toolkit.apis"));
    EXPECT_FALSE(classifier.is_allowed("toolkit"));
    EXPECT_FALSE(classifier.is_allowed("toolkit.ap"));
}

TEST(IsAllowed, PrefixesAreTakenLiterally) {
    const ImportClassifier star = policy({}, {}, {"pkg.*"});
    EXPECT_FALSE(star.is_allowed("pkg"));
    EXPECT_FALSE(star.is_allowed("pkg.sub"));
    EXPECT_TRUE(star.is_allowed("pkg.*"));
    EXPECT_TRUE(star.is_allowed("pkg.*.x"));

    const ImportClassifier trailing_dot = policy({}, {}, {"pkg."});
    EXPECT_TRUE(trailing_dot.is_allowed("pkg."));
    EXPECT_TRUE(trailing_dot.is_allowed("pkg..x"));
    EXPECT_FALSE(trailing_dot.is_allowed("pkg.sub"));
    EXPECT_FALSE(trailing_dot.is_allowed("pkg"));
}

TEST(IsAllowed, EmptyPrefixAllowsTheEmptyNameAndNamesStartingWithADot) {
    const ImportClassifier classifier = policy({}, {}, {"", ""});
    EXPECT_TRUE(classifier.is_allowed(""));
    EXPECT_TRUE(classifier.is_allowed(".x"));
    EXPECT_TRUE(classifier.is_allowed("..x"));
    EXPECT_FALSE(classifier.is_allowed("x"));
    EXPECT_FALSE(classifier.is_allowed("x."));
}

TEST(IsAllowed, EmptyNameNeedsAnEmptyEntryOrPrefix) {
    EXPECT_FALSE(policy({}, {"x"}, {"x"}).is_allowed(""));
    EXPECT_TRUE(policy({}, {""}, {}).is_allowed(""));
    EXPECT_TRUE(policy({}, {""}, {}).is_allowed(".hidden"));  // its root is empty
    EXPECT_TRUE(policy({}, {}, {""}).is_allowed(""));
}

TEST(IsAllowed, LaterPrefixesAreConsultedWhenEarlierOnesMiss) {
    const ImportClassifier classifier = policy({}, {}, {"zzz", "x.y", "a"});
    EXPECT_TRUE(classifier.is_allowed("a.b"));
    EXPECT_TRUE(classifier.is_allowed("x.y.z"));
    EXPECT_FALSE(classifier.is_allowed("x"));
}

TEST(Classifier, ForbiddenAndAllowedAreIndependentQuestions) {
    const ImportClassifier classifier = policy({"os"}, {"os", "os.path"}, {"os"});
    EXPECT_TRUE(classifier.is_forbidden("os.path"));
    EXPECT_TRUE(classifier.is_allowed("os.path"));
    EXPECT_TRUE(classifier.is_forbidden("os"));
    EXPECT_TRUE(classifier.is_allowed("os"));
}

TEST(Classifier, EmptyPolicyForbidsNothingAndAllowsNothing) {
    const ImportClassifier classifier = policy({}, {}, {});
    for (const char* name : {"", ".", "os", "a.b.c", "..", "\xff"}) {
        EXPECT_FALSE(classifier.is_forbidden(name)) << name;
        EXPECT_FALSE(classifier.is_allowed(name)) << name;
    }
}

TEST(Classifier, LongNamesAndRootsAreHandledWhole) {
    const std::string root(1000, 'r');
    const ImportClassifier classifier = policy({root}, {}, {root + ".sub"});
    EXPECT_TRUE(classifier.is_forbidden(root + ".x"));
    EXPECT_FALSE(classifier.is_forbidden(root + "r"));
    EXPECT_TRUE(classifier.is_allowed(root + ".sub.deeper"));
}

// One memo serves a thread's scans one after another, under whatever policy
// and local modules each call brings: a verdict remembered under one must
// never answer for another, whether the name is short enough to be kept or
// judged in full.
TEST(Judge, ThroughAMemoAgreesWithVerdictOnWhicheverPolicyAndLocalsItWasFilledUnder) {
    // Names past what a memo keeps, and roots longer than some sets' entries.
    const std::string long_name = "os." + std::string(200, 'x');
    const std::string long_root(300, 'o');
    const std::string long_allowed(300, 'a');
    const std::string longer_than_any_entry(400, 'p');
    const ImportClassifier strict = policy({"os"}, {"json"}, {"toolkit.api"});
    const ImportClassifier lenient = policy({}, {"os", "json"}, {});
    const ImportClassifier long_entries =
        policy({long_root}, {long_allowed + ".ok"}, {long_allowed + ".pre", longer_than_any_entry});
    const std::unordered_set<std::string> none;
    const std::unordered_set<std::string> os_is_local{"os"};
    const std::unordered_set<std::string> long_is_local{long_root + ".mine"};
    VerdictMemo memo;
    for (int round = 0; round < 2; ++round) {
        for (const ImportClassifier* classifier : {&strict, &lenient, &long_entries, &strict}) {
            for (const std::unordered_set<std::string>* locals : {&none, &os_is_local, &long_is_local, &none}) {
                for (const std::string& name :
                     {std::string("os"), std::string("os.path"), std::string("yaml"), std::string("toolkit.api.w"),
                      std::string("json"), long_name, long_root, long_root + "o", long_allowed + ".ok",
                      long_allowed + ".pre.x", long_allowed + ".okay", long_root + ".mine", long_root + ".other",
                      longer_than_any_entry + ".x", longer_than_any_entry + "q", std::string(400, 'q')}) {
                    const ImportVerdict expected = classifier->verdict_on(name, *locals);
                    EXPECT_EQ(classifier->judge(name, *locals, memo), expected) << name.substr(0, 16);
                }
            }
        }
    }
    EXPECT_EQ(strict.judge("os", none, memo), ImportVerdict::forbidden);
    EXPECT_EQ(strict.judge("yaml", none, memo), ImportVerdict::unlisted);
    EXPECT_EQ(lenient.judge("os", none, memo), ImportVerdict::silent);
    EXPECT_EQ(long_entries.judge(long_allowed + ".ok", none, memo), ImportVerdict::silent);
    EXPECT_EQ(long_entries.judge(long_allowed + ".pre.x", none, memo), ImportVerdict::silent);
    EXPECT_EQ(long_entries.judge(long_allowed + ".okay", none, memo), ImportVerdict::unlisted);
    EXPECT_EQ(long_entries.judge(long_root + ".other", none, memo), ImportVerdict::forbidden);
    EXPECT_EQ(long_entries.judge(long_root + ".mine", long_is_local, memo), ImportVerdict::silent);
    EXPECT_EQ(strict.judge(long_root + ".x", none, memo), ImportVerdict::unlisted);
    EXPECT_EQ(long_entries.judge(longer_than_any_entry + ".x", none, memo), ImportVerdict::silent);
    EXPECT_EQ(long_entries.judge(std::string(400, 'q'), none, memo), ImportVerdict::unlisted);
}

// A name's first bytes settle its verdict once they run past every entry
// of the policy and of the locals: whatever name bytes follow, the verdict
// is the one given then; and before that, nothing is promised.
TEST(VerdictOnLonger, IsTheVerdictOfEveryLongerNameOnceTheStartRunsPastEveryEntry) {
    const std::string long_root(300, 'o');
    const std::string long_allowed(300, 'a');
    const ImportClassifier strict = policy({"os"}, {"json", "os.path"}, {"toolkit.api"});
    const ImportClassifier long_entries = policy({long_root}, {long_allowed + ".ok"}, {long_allowed + ".pre"});
    const std::unordered_set<std::string> none;
    const std::unordered_set<std::string> local{"mine", long_root + ".mine"};
    const std::string filler(400, 'z');
    VerdictMemo memo;
    int settled = 0;
    struct Case {
        const ImportClassifier* classifier;
        const std::unordered_set<std::string>* locals;
        std::size_t longest;  // entry of the policy or the locals
    };
    for (const Case& c : {Case{&strict, &none, 11}, Case{&strict, &local, 305}, Case{&long_entries, &none, 304},
                          Case{&long_entries, &local, 305}}) {
        const ImportClassifier* const classifier = c.classifier;
        const std::unordered_set<std::string>* const locals = c.locals;
        {
            for (const std::string& root : {std::string("os"), std::string("json"), std::string("toolkit.api"),
                                            std::string("mine"), std::string("yaml"), long_root,
                                            long_allowed + ".pre", long_allowed + ".ok", std::string()}) {
                for (const std::string& joint : {std::string("."), std::string("_"), std::string("..")}) {
                    const std::string name = root + joint + filler;
                    for (std::size_t size = 1; size < name.size(); ++size) {
                        const std::string start = name.substr(0, size);
                        const std::optional<ImportVerdict> verdict =
                            classifier->verdict_on_longer(start, *locals, memo);
                        // Past the longest entry by two, a verdict is given.
                        if (size > c.longest + 1) {
                            ASSERT_TRUE(verdict.has_value()) << root << joint << " at " << size;
                        }
                        if (!verdict) continue;
                        ++settled;
                        for (const std::string& rest : {std::string("x"), std::string("."), std::string(".x"),
                                                        std::string("_9.y")}) {
                            ASSERT_EQ(*verdict, classifier->verdict_on(start + rest, *locals))
                                << root << joint << " at " << size << " + " << rest;
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(settled, 0);
    // Too short to settle: "o" may become "os" (forbidden) or "ox" (unlisted).
    EXPECT_FALSE(strict.verdict_on_longer("o", none, memo).has_value());
}

// A name's verdict and whether the audit follows it share a slot, each
// remembered apart: one never stands in for the other, and a full memo
// remembers neither.
TEST(VerdictMemoTest, KeepsAVerdictAndWhetherANameIsFollowedApart) {
    VerdictMemo memo;
    memo.bind(&memo, nullptr);
    const std::uint64_t os = VerdictMemo::hash("os");
    memo.remember_follows("os", os, true);
    EXPECT_EQ(memo.find("os", os), nullptr);
    EXPECT_EQ(memo.find_follows("os", os), 1);
    memo.remember("os", os, ImportVerdict::forbidden);
    ASSERT_NE(memo.find("os", os), nullptr);
    EXPECT_EQ(*memo.find("os", os), ImportVerdict::forbidden);
    EXPECT_EQ(memo.find_follows("os", os), 1);
    const std::uint64_t json = VerdictMemo::hash("json");
    memo.remember("json", json, ImportVerdict::silent);
    EXPECT_EQ(memo.find_follows("json", json), -1);
    memo.remember_follows("json", json, false);
    EXPECT_EQ(memo.find_follows("json", json), 0);

    for (int k = 0; k < 4000; ++k) {
        const std::string name = "m" + std::to_string(k);
        memo.remember_follows(name, VerdictMemo::hash(name), true);
    }
    EXPECT_EQ(memo.find_follows("m3999", VerdictMemo::hash("m3999")), -1);
    EXPECT_EQ(memo.find_follows("m0", VerdictMemo::hash("m0")), 1);
    memo.bind(&os, nullptr);  // another policy: nothing is known
    EXPECT_EQ(memo.find_follows("os", os), -1);
    EXPECT_EQ(memo.find("os", os), nullptr);
}

}  // namespace
}  // namespace scanner_core
