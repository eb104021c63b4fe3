"""ImportClassifier from Python: construction and its conversions, and the
two predicates with the root, exact-name and prefix rules."""

import pytest

from scanner_core import ImportClassifier


def make(forbidden=(), exact=(), prefixes=()):
    return ImportClassifier(set(forbidden), set(exact), list(prefixes))


class TestConstruction:
    def test_by_position_and_by_keyword(self):
        for classifier in (
            ImportClassifier({"os"}, {"json"}, ["pkg"]),
            ImportClassifier(forbidden={"os"}, allowed_exact={"json"}, allowed_prefixes=["pkg"]),
            ImportClassifier(allowed_prefixes=["pkg"], forbidden={"os"}, allowed_exact={"json"}),
        ):
            assert classifier.is_forbidden("os.path")
            assert classifier.is_allowed("json.decoder")
            assert classifier.is_allowed("pkg.sub")

    @pytest.mark.parametrize(
        "forbidden",
        [{"os"}, frozenset({"os"}), {"os": 1}.keys(), type("SetChild", (set,), {})({"os"}), {b"os"}],
        ids=["set", "frozenset", "dict-keys", "set-subclass", "bytes-element"],
    )
    def test_sets_of_every_kind_are_accepted(self, forbidden):
        assert ImportClassifier(forbidden, frozenset(), []).is_forbidden("os")

    @pytest.mark.parametrize(
        "prefixes",
        [["pkg"], ("pkg",), {"pkg"}, frozenset({"pkg"}), (p for p in ["pkg"]), {"pkg": 0}.keys(),
         {0: "pkg"}.values(), map(str, ["pkg"])],
        ids=["list", "tuple", "set", "frozenset", "generator", "dict-keys", "dict-values", "map"],
    )
    def test_prefixes_accept_any_iterable_but_strings(self, prefixes):
        assert ImportClassifier(set(), set(), prefixes).is_allowed("pkg.sub")

    @pytest.mark.parametrize(
        "arguments",
        [
            (["os"], set(), []),  # a list is not a set
            (("os",), set(), []),
            ({"os": 1}, set(), []),  # nor is a dict
            ("os", set(), []),
            (set(), set(), "pkg"),  # a str is not a sequence of prefixes here
            (set(), set(), b"pkg"),
            (set(), set(), [1]),
            ({1}, set(), []),
            ({None}, set(), []),
            (set(), set()),
            (set(), set(), [], []),
        ],
        ids=["list", "tuple", "dict", "str", "str-prefixes", "bytes-prefixes", "int-prefix", "int-element",
             "none-element", "missing", "too-many"],
    )
    def test_other_arguments_are_refused_with_type_error(self, arguments):
        with pytest.raises(TypeError, match="incompatible constructor arguments"):
            ImportClassifier(*arguments)

    def test_unknown_keyword_is_refused(self):
        with pytest.raises(TypeError):
            ImportClassifier(forbidden=set(), allowed_exact=set(), prefixes=[])

    def test_string_that_cannot_be_encoded_is_refused(self):
        with pytest.raises(TypeError):
            ImportClassifier({"\ud800"}, set(), [])

    def test_second_init_keeps_the_first_policy(self):
        classifier = ImportClassifier({"os"}, {"json"}, ["pkg"])
        assert classifier.__init__({"json"}, {"os"}, []) is None
        assert classifier.is_forbidden("os")
        assert not classifier.is_forbidden("json")
        assert classifier.is_allowed("pkg.x")

    def test_policy_is_not_exposed(self):
        classifier = make({"os"})
        for name in ("forbidden", "allowed_exact", "allowed_prefixes"):
            assert not hasattr(classifier, name)
        with pytest.raises(AttributeError):
            classifier.extra = 1

    def test_empty_zip_is_an_empty_prefix_list(self):
        assert not ImportClassifier(set(), set(), zip()).is_allowed("")

    def test_generator_of_prefixes_is_consumed_in_order(self):
        classifier = ImportClassifier(set(), set(), (name for name in ("a", "b.c")))
        assert classifier.is_allowed("a.x") and classifier.is_allowed("b.c.d")
        assert not classifier.is_allowed("b")


class TestPredicates:
    def test_forbidden_looks_at_the_root_only(self):
        classifier = make({"os"})
        assert classifier.is_forbidden("os.path")
        assert not classifier.is_forbidden("osx")
        assert not make({"os.path"}).is_forbidden("os.path")
        assert not make({"os.path"}).is_forbidden("os")

    def test_empty_root(self):
        assert not make({"x"}).is_forbidden("")
        assert make({""}).is_forbidden("")
        assert make({""}).is_forbidden(".x")

    def test_exact_names_and_roots(self):
        assert make(exact={"json"}).is_allowed("json.decoder")
        assert not make(exact={"json"}).is_allowed("jsonschema")
        assert not make(exact={"json"}).is_allowed("JSON")
        dotted = make(exact={"a.b"})
        assert dotted.is_allowed("a.b")
        assert not dotted.is_allowed("a.b.c") and not dotted.is_allowed("a")

    def test_prefix_rule(self):
        prefix = make(prefixes=["a"])
        assert [prefix.is_allowed(n) for n in ("a", "a.b", "a.", "ab", "b.a")] == [True, True, True, False, False]
        dotted = make(prefixes=["a.b"])
        assert [dotted.is_allowed(n) for n in ("a.b.c", "a.bc", "a")] == [True, False, False]
        assert not make(prefixes=["pkg.*"]).is_allowed("pkg.sub")
        assert make(prefixes=["pkg."]).is_allowed("pkg..x") and not make(prefixes=["pkg."]).is_allowed("pkg.sub")
        empty = make(prefixes=[""])
        assert empty.is_allowed("") and empty.is_allowed(".x") and not empty.is_allowed("x")

    def test_forbidden_and_allowed_are_independent(self):
        classifier = make({"os"}, {"os"})
        assert classifier.is_forbidden("os.path") and classifier.is_allowed("os.path")

    def test_bytes_names_are_taken_byte_for_byte(self):
        classifier = make({"café"}, {"json"})
        assert classifier.is_forbidden("café.x".encode())
        assert classifier.is_forbidden(bytearray("café".encode()))
        assert not classifier.is_forbidden("cafe\u0301")  # not normalised
        assert classifier.is_allowed(b"json.tool")
        assert not classifier.is_allowed(b"\xff")

    @pytest.mark.parametrize("argument", [None, 1, ["os"], "\ud800"])
    def test_non_strings_are_refused(self, argument):
        classifier = make({"os"})
        for predicate in (classifier.is_forbidden, classifier.is_allowed):
            with pytest.raises(TypeError, match="incompatible function arguments"):
                predicate(argument)

    def test_keyword_name_is_module(self):
        assert make({"os"}).is_forbidden(module="os")
        assert make(exact={"os"}).is_allowed(module="os")
