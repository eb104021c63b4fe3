// The doors to an importer other than an import statement or a direct call,
// as the audit's recogniser reads them: names bound to an importer by an
// import statement, references that are not calls, texts run as code,
// relative names with their anchor. Each case is read with the fast pass
// over lines and token by token, which must agree: a door on a line with
// no "import" in its code must still stop the fast pass.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audit_cases.hpp"
#include "audit_support.hpp"
#include "audit/private_twins.hpp"

namespace scanner_core {
namespace {

using testing::audit_text;

using Case = testing::AuditCase;
constexpr auto expect_doors = testing::expect_audits;

TEST(Doors, CallsThroughANameAnImportStatementBindsAreImports) {
    expect_doors({
        {"import_module under an alias, after lines the fast pass skips",
         "from importlib import import_module as im\nx = 1\ny = 2\nim('os')\n",
         "1 statement importlib\n4 constant os\n"},
        {"__import__ from builtins, in parentheses", "from builtins import (__import__ as imp, len)\nimp('socket')\n",
         "1 statement builtins\n2 constant socket\n"},
        {"exec from builtins", "from builtins import exec as run\nrun('import os')\n",
         "1 statement builtins\n2 statement os\n"},
        {"the module builtins under an alias, after lines the fast pass skips",
         "import builtins as b\nx = 1\ny = 2\nb.exec('import os')\nb.getattr(m, 'eval')\n",
         "1 statement builtins\n4 statement os\n5 reference eval\n"},
        {"the builtins' attributes, however spaced; another object's are no doors",
         "builtins .exec('import os')\n__builtins__. eval('__import__(\"sys\")')\nre.compile('import a')\n",
         "1 statement os\n2 constant sys\n"},
        {"an alias of another name is nothing", "from importlib import reload as im\nim(m)\n",
         "1 statement importlib\n"},
        {"text given to exec sees the file's aliases, and the file what it binds, from the call on",
         "from importlib import import_module as im\nexec('im(\"os\")')\nb('x')\n"
         "exec('from builtins import __import__ as b')\nb('sys')\n",
         "1 statement importlib\n2 constant os\n4 statement builtins\n5 constant sys\n"},
        {"importlib under any name", "import importlib as il\nil.import_module('os')\n",
         "1 statement importlib\n2 constant os\n"},
    });
}

TEST(Doors, AnImporterNamedOtherThanInACallIsAReference) {
    expect_doors({
        {"assigned, passed, called through an attribute",
         "imp = __import__\nmap(__import__, names)\nimportlib.import_module.__call__('os')\n",
         "1 reference __import__\n2 reference __import__\n3 reference import_module\n"},
        {"getattr and subscripts with a constant name, on lines without the word import in code",
         "getattr(builtins, '__import__')('os')\n__builtins__['__import__']\nglobals()[('import_module')]\n"
         "vars(b)['exec']\n",
         "1 reference __import__\n2 reference __import__\n3 reference import_module\n4 reference exec\n"},
        {"a key or name spelled in pieces or with escapes",
         "__builtins__['__imp' 'ort__']\nb[\n  ('\\x5f_import__')]\ngetattr(b, '__imp'\n  'ort__')\nf'{d[\"ex\" \"ec\"]}'\nb[  # a comment\n  '__imp' 'ort__']\n",
         "1 reference __import__\n2 reference __import__\n4 reference __import__\n6 reference exec\n"
         "7 reference __import__\n"},
        {"exec, eval and compile are doors too", "run = exec\nf(eval)\nbuiltins.compile\n",
         "1 reference exec\n2 reference eval\n3 reference compile\n"},
        {"a module's loader, whatever is done with it, and __spec__ but for its other attributes",
         "__loader__.load_module('x')\nm.__loader__\nf(__spec__)\n(__spec__).loader\nx = __spec__.parent\n",
         "1 reference __loader__\n2 reference __loader__\n3 reference __spec__\n4 reference __spec__\n"},
        {"a call in parentheses is a call", "(__import__)('os')\n", "1 constant os\n"},
        {"other objects' methods are not the builtins", "re.compile(p)\nmodel.eval()\nx.exec\ngetattr(m, 'name')\n",
         ""},
        {"a class pattern is no call", "match x:\n    case exec(): pass\n", ""},
        {"texts that are not keys or names", "print('__import__')\nx = {'exec': 1}\n", ""},
    });
}

TEST(Doors, ConstantTextRunAsCodeIsAuditedAtTheCallsLine) {
    std::string nine_deep = "import os";
    for (int k = 0; k < 9; ++k) {
        std::string quoted;
        for (const char c : nine_deep) {
            if (c == '\\' || c == '\'') quoted.push_back('\\');
            quoted.push_back(c);
        }
        nine_deep = "exec('" + quoted + "')";
    }
    expect_doors({
        {"exec, eval and compile", "exec('import os')\neval('  __import__(\"sys\")')\ncompile('from a import b', 'f', 'exec')\n",
         "1 statement os\n2 constant sys\n3 statement a\n"},
        {"text over several lines, and nested", "exec('''\nimport os\nexec(\"import sys\")\n''')\n",
         "1 statement os\n1 statement sys\n"},
        {"what the text refers to, at the call", "exec('f = __import__')\n", "1 reference __import__\n"},
        {"anything but a constant text", "exec(code)\neval(b'import os' + x)\ncompile(f'{x}', 'f', 'exec')\n",
         "1 code exec\n2 code eval\n3 code compile\n"},
        {"text Python refuses to run", "exec('x = (')\nexec('a\\0b')\n", "1 refused \n2 refused \n"},
        {"the source keyword of compile", "compile(source='import os', filename='f', mode='exec')\n",
         "1 statement os\n"},
        {"past the nesting the audit follows, the file cannot be judged", nine_deep + "\n",
         "1 unaudited code dynamique imbriqué trop profondément\n"},
    });
}

TEST(Doors, ATextPythonsCompilerFoldsToAConstantIsAuditedAsOne) {
    expect_doors({
        {"texts added, however grouped", "exec('imp' + 'ort os')\nexec(('import ' 'sys'))\neval('__imp' + ('ort__' + '(\"a\")'))\n",
         "1 statement os\n2 statement sys\n3 constant a\n"},
        {"a text times an int, either way round, and a product added",
         "exec('import os' * 1)\nexec(True * 'import sys')\nexec('import a;' + ';' * 3 + 'import b')\n",
         "1 statement os\n2 statement sys\n3 statement a\n3 statement b\n"},
        {"an element of a tuple of constants, counted from either end",
         "exec(('import json', 'import os')[1])\nexec(('import sys', 2)[-2])\n",
         "1 statement os\n2 statement sys\n"},
        {"a character of a text, a byte's value, and ints added, subtracted and multiplied",
         "exec('import o' + 'abs'[2])\nexec('import os' * b'\\x01'[0])\nexec('import sys' * (3 - 2 * 1))\n"
         "exec('import a' + ('x', 'b')[-1 + 2 - 0])\nexec('#' * (4096 * 1024 * 1024 * 1024 * 1024))\n",
         "1 statement os\n2 statement os\n3 statement sys\n4 statement ab\n5 code exec\n"},
        {"the value of :=, as an argument or in parentheses", "exec(text := 'import os')\nexec((t := 'import sys'))\n",
         "1 statement os\n2 statement sys\n"},
        {"the first element of a starred display", "exec(*['import os'])\nexec(*('import sys', {}))\n",
         "1 statement os\n2 statement sys\n"},
        {"the source of a ** dict display of constant keys, a value in parentheses too",
         "compile(**{'source': 'import os', 'filename': 'x', 'mode': 'exec'})\ncompile(**{'a': 1, 'source': ('import sys')})\n"
         "compile(**{k: 1, 'source': 'import a'})\n",
         "1 statement os\n2 statement sys\n3 code compile\n"},
        {"bytes, read as compile reads them: UTF-8, or their coding declaration",
         "eval(b\"__import__('os')\")\nexec(b'# coding: latin-1\\nimport \\xe9')\nexec(b'import \\xc3\\xa9')\n",
         "1 constant os\n2 statement é\n3 statement é\n"},
        {"bytes Python refuses, or that only its codecs read",
         "exec(b'import \\xff')\nexec(b'# coding: cp1252\\nimport os')\n",
         "1 refused \n2 unaudited code en octets d'un codage que seul Python lit\n"},
        {"what CPython leaves to run time stays dynamic code",
         "exec('a' * 4097)\nexec('ab' * -1)\nexec('a' + b'b')\nexec('%s' % 'os')\nexec(f'import {\"os\"}')\n"
         "exec(('a', x)[0])\nexec(['import os'][0])\nexec('import os'[0:9])\nexec(2 ** 3 * 'a')\nexec(__debug__ * 'a')\n",
         "1 code exec\n2 code exec\n3 code exec\n4 code exec\n5 code exec\n6 code exec\n7 code exec\n8 code exec\n"
         "9 code exec\n10 code exec\n"},
        {"CPython's limit counts code points: 4096 of them fold", "exec('#é' * 2048)\nexec('#é' * 2049)\n",
         "2 code exec\n"},
        {"names of importers and keys fold too, on lines the fast pass must not pass over",
         "__import__('o' + 's')\nb['__imp' + 'ort__']\nb[('ort__', '__imp')[1] + ('ort__',)[0]]\n"
         "b[(1, 'ort__', '__imp')[2] + (1, 'ort__')[1]]\nx = ['a', 'b']\n",
         "1 constant os\n2 reference __import__\n3 reference __import__\n4 reference __import__\n"},
    });
    // A long sum folds in one pass; what folding may write is bounded for
    // the file, past which it cannot pass unread.
    std::string sum = "exec('import os'";
    for (int k = 0; k < 100000; ++k) sum += " + ''";
    std::string huge = "exec(''";
    for (int k = 0; k < 10000; ++k) huge += " + '#' * 4096";
    expect_doors({
        {"a sum of 100000 texts", sum + ")\n", "1 statement os\n"},
        {"texts that would fold past the bound", huge + ")\n", "1 unaudited constantes pliées trop grandes\n1 code exec\n"},
    });
}

TEST(Doors, ConstantNamesOfImportsFromlistAreItsSubmodules) {
    expect_doors({
        {"a list or tuple of names, by keyword or in fourth place",
         "__import__('concurrent.futures', fromlist=['process'])\n__import__('a', None, None, ('b', 'c' + 'd'))\n",
         "1 constant concurrent.futures.process\n1 constant concurrent.futures\n2 constant a.b\n2 constant a.cd\n"
         "2 constant a\n"},
        {"None, an empty display and '*' add nothing",
         "__import__('a', fromlist=None)\n__import__('b', fromlist=())\n__import__('c', fromlist=['*'])\n",
         "1 constant a\n2 constant b\n3 constant c\n"},
        {"a fromlist that is no constant is a dynamic import", "__import__('a', fromlist=names)\n",
         "1 other __import__\n1 constant a\n"},
        {"relative, from the module's own package", "__import__('x', globals(), None, ['y'], 1)\n",
         "1 constant .x.y\n1 constant .x\n"},
    });
}

TEST(Doors, OnALineThatMayBeAMatchStatementOnlyTheReadingPythonMakesCounts) {
    expect_doors({
        {"a subject that names an importer and no more is a reference", "match __import__:\n    case _: pass\n",
         "1 reference __import__\n"},
        {"without its colon the line passes exec to match: what the text would bind is not bound",
         "from importlib import import_module as im\nmatch (exec)('from builtins import exec as im')\nim('os')\n",
         "1 statement importlib\n2 reference exec\n3 constant os\n"},
        {"with its colon the subject runs the text: what it binds is bound from there on",
         "match (exec)('from builtins import __import__ as b'):\n    case _: pass\nb('sys')\n",
         "1 statement builtins\n3 constant sys\n"},
        {"a text both readings run counts once, and so does a match line in it",
         "match exec(\"match exec('import os'):\\n    case _: pass\\n\"):\n    case _: pass\n",
         "1 statement os\n"},
        {"and without its colon, where the expression's reading takes the subject's outcome",
         "match, exec('from builtins import __import__ as b')\nb('os')\n", "1 statement builtins\n2 constant os\n"},
        {"a name written with \\N{...} in the text, in the reading Python does not make",
         "match (exec)('__import__(\"\\N{LATIN SMALL LETTER O}s\")')\n", "1 reference exec\n"},
    });
}

TEST(Doors, AWordOfAnyLengthIsFoundWhereverItBeginsInTheSearchWindow) {
    // The fast pass searches for the trigger words in windows; one that
    // begins near a window's end and crosses it must still stop the pass.
    for (std::size_t pad = 40; pad < 140; ++pad) {
        const std::string source =
            "x = 1\n" + std::string(pad, 'y') + " = [__loader__]\n" + std::string(200, '#') + "\n";
        EXPECT_EQ(audit_text(source, true).describe(), "2 reference __loader__\n") << pad << " bytes before it";
    }
}

TEST(Doors, RelativeNamesAreResolvedFromAConstantAnchor) {
    expect_doors({
        {"import_module with a constant package",
         "import_module('.', 'os')\nimport_module('.path', 'os')\nimport_module('..x', package='a.b.c')\n",
         "1 constant os\n2 constant os.path\n3 constant a.b.x\n"},
        {"__import__ with the globals of a dict of constants",
         "__import__('', {'__package__': 'os'}, None, (), 1)\n"
         "__import__('x', {'__name__': 'socket.y'}, None, (), 1)\n"
         "__import__('x', {'__name__': 'ctypes', '__path__': []}, None, (), 1)\n"
         "__import__('x', {'__name__': ('sock' + 'et.y')}, None, (), 1)\n",
         "1 constant os\n2 constant socket.x\n3 constant ctypes.x\n4 constant socket.x\n"},
        {"the module's own package keeps the level",
         "__import__('x', globals(), None, (), 2)\nimport_module('...y', __package__)\n",
         "1 constant ..x\n2 constant ...y\n"},
        {"an anchor that is no constant",
         "import_module('.x', pkg)\nimport_module('.x')\n__import__('x', g, None, (), 1)\n"
         "__import__('x', {'__package__': p}, None, (), 1)\n__import__('x', {**g}, None, (), 1)\n",
         "1 relative-call import_module\n2 relative-call import_module\n3 relative-call __import__\n"
         "4 relative-call __import__\n5 relative-call __import__\n"},
        {"a statement's level, however many dots", "from ..... import a\nx = 1\nfrom ......b import c\n",
         "1 statement .....\n3 statement ......b\n"},
        {"a level above the anchor's top imports nothing", "import_module('..x', 'os')\nimport_module('.', '')\n", ""},
    });
}

TEST(PrivateTwins, AForbiddenModuleForbidsWhatImplementsIt) {
    const std::unordered_set<std::string> forbidden = with_private_twins({"os", "socket", "json_not_in_table"});
    for (const char* twin : {"os", "posix", "nt", "_posixsubprocess", "socket", "_socket", "json_not_in_table"}) {
        EXPECT_EQ(forbidden.count(twin), 1u) << twin;
    }
    EXPECT_EQ(forbidden.size(), 7u);
    EXPECT_TRUE(private_twins("posix").empty());  // a twin's twins are not followed back
}

}  // namespace
}  // namespace scanner_core
