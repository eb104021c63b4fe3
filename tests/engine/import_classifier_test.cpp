#include "import_classifier.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace scanner_core
