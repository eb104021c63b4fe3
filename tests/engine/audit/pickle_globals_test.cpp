// The globals a pickle payload imports, as the unpickler reaches them. Where
// the reading stops, CPython 3.13's pickle.loads raises there too (checked by
// its `pickle.find_class` audit events); where the reading cannot tell (a
// REDUCE's result, past the bounds) it goes on, judging more, never less.
#include <gtest/gtest.h>

#include <string>

#include "audit/pickle_globals.hpp"

namespace scanner_core {
namespace {

// One line per global ("module name", "?" for an unknown one, "[from
// module name]" when mapped, "dotted" for a dotted name read as a chain),
// then how it ended.
std::string read(const std::string& payload) {
    std::string out;
    const PickleEnd end = read_pickle_globals(payload, [&out](const PickleGlobal& global) {
        if (!global.known) {
            out += "?\n";
            return;
        }
        out += global.module + " " + global.name;
        if (global.dotted && global.name.find('.') != std::string::npos) out += " dotted";
        if (global.mapped) out += " [from " + global.original_module + " " + global.original_name + "]";
        out += "\n";
    });
    return out + (end == PickleEnd::stop ? "stop" : "refused");
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int value : values) out.push_back(static_cast<char>(value));
    return out;
}

TEST(PickleGlobals, TextGlobalsOfProtocolZeroAreReadUntilStop) {
    EXPECT_EQ(read("cos\nsystem\n."), "os system\nstop");
    EXPECT_EQ(read("cos\nsystem\n.csubprocess\nrun\n."), "os system\nstop");  // nothing after STOP
    EXPECT_EQ(read("(ios\nsystem\n."), "os system\nstop");                   // INST, with its mark
    EXPECT_EQ(read("ios\nsystem\n."), "refused");  // INST looks for its mark before it imports
    EXPECT_EQ(read("(ios\nsyst\xc3\xa9m\n."), "refused");  // INST's names are ASCII
    EXPECT_EQ(read("cos\n\xff\n."), "refused");           // GLOBAL's are UTF-8
}

TEST(PickleGlobals, WhatPrecedesATruncationIsJudgedAndNothingAfter) {
    EXPECT_EQ(read("cos\nsystem"), "refused");  // the name's line never ends
    EXPECT_EQ(read("cftplib\nFTP\ncos\nsys"), "ftplib FTP\nrefused");
    EXPECT_EQ(read("cftplib\nFTP\n"), "ftplib FTP\nrefused");                   // no STOP: it raises after
    EXPECT_EQ(read("cftplib\nFTP\n\xff" "cos\nsystem\n."), "ftplib FTP\nrefused");  // an unknown opcode
    EXPECT_EQ(read(bytes({0x80, 6}) + "cos\nsystem\n."), "refused");             // protocol 6
}

TEST(PickleGlobals, HugeLengthsAreTruncationsNotAllocations) {
    const std::string huge8 = bytes({0x8d, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f});
    EXPECT_EQ(read("cftplib\nFTP\n" + huge8 + "cos\nsystem\n."), "ftplib FTP\nrefused");
    EXPECT_EQ(read(bytes({'X', 0xff, 0xff, 0xff, 0xff}) + "abc"), "refused");
    EXPECT_EQ(read(bytes({'T', 0xff, 0xff, 0xff, 0xff}) + "abc"), "refused");  // a negative count raises
    EXPECT_EQ(read(bytes({0x95, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}) + "cos\nsystem\n."), "refused");
    // A frame that fits is read through.
    EXPECT_EQ(read(bytes({0x80, 4, 0x95, 12, 0, 0, 0, 0, 0, 0, 0}) + "cos\nsystem\n."), "os system\nstop");
}

TEST(PickleGlobals, StackGlobalTakesTheTextsOfTheStackAndTheMemo) {
    const std::string os = bytes({0x8c, 2}) + "os";
    const std::string system = bytes({0x8c, 6}) + "system";
    // Protocol 4 as pickle writes it: each text memoized, then taken back.
    EXPECT_EQ(read(bytes({0x80, 4}) + os + bytes({0x94}) + system + bytes({0x94, 0x93}) + "."),
              "os system\nstop");
    EXPECT_EQ(read(bytes({0x80, 4}) + os + bytes({0x94}) + system + bytes({0x94, 0x30, 0x30, 'h', 0, 'h', 1, 0x93}) +
                   "."),
              "os system\nstop");
    // PUT's decimal line, BINPUT, LONG_BINPUT, and their GETs.
    EXPECT_EQ(read(os + "p7\n0" + system + bytes({'q', 9, '0', 'g', '7', '\n', 'h', 9, 0x93}) + "."),
              "os system\nstop");
    EXPECT_EQ(read(os + bytes({'r', 1, 0, 0, 0, '0', 'j', 1, 0, 0, 0}) + system + bytes({0x93}) + "."),
              "os system\nstop");
    // A memo entry never put: it raises there.
    EXPECT_EQ(read(bytes({'h', 3}) + system + bytes({0x93}) + "cftplib\nFTP\n."), "refused");
    // DUP copies the text; the other opcodes' texts are texts too.
    EXPECT_EQ(read(bytes({0x8c, 1}) + "x" + bytes({'2', 0x93}) + "."), "x x\nstop");
    EXPECT_EQ(read("Vos\nVsystem\n" + bytes({0x93}) + "."), "os system\nstop");
    EXPECT_EQ(read("S'os'\nU" + bytes({6}) + "system" + bytes({0x93}) + "."), "os system\nstop");
    EXPECT_EQ(read("X" + bytes({2, 0, 0, 0}) + "os" + bytes({0x8d, 6, 0, 0, 0, 0, 0, 0, 0}) + "system" +
                   bytes({0x93}) + "."),
              "os system\nstop");
    // UNICODE's raw bytes are Latin-1.
    EXPECT_EQ(read("Vo\xe9\nVx\n" + bytes({0x93}) + "."), "o\xc3\xa9 x\nstop");
}

TEST(PickleGlobals, StackGlobalOfWhatCannotBeReadIsUnknownAndOfNoTextRaises) {
    // Operands made by REDUCE, or by an escape that is not followed: unknown, and the reading goes on.
    EXPECT_EQ(read("cbuiltins\nstr\n)R" + bytes({0x8c, 1}) + "x" + bytes({0x93}) + "cftplib\nFTP\n."),
              "builtins str\n?\nftplib FTP\nstop");
    EXPECT_EQ(read("Vo\\u0073\nVsystem\n" + bytes({0x93}) + "."), "?\nstop");
    // No text: "STACK_GLOBAL requires str".
    EXPECT_EQ(read("NN" + bytes({0x93}) + "cftplib\nFTP\n."), "refused");
    // An extension code, which the plugin may have registered.
    EXPECT_EQ(read(bytes({0x82, 1}) + "."), "?\nstop");
}

TEST(PickleGlobals, MarksFenceTheStackAsTheUnpicklerDoes) {
    const std::string ftplib = bytes({0x8c, 6}) + "ftplib";
    const std::string ftp = bytes({0x8c, 3}) + "FTP";
    EXPECT_EQ(read(ftplib + "(" + ftp + bytes({0x93}) + "."), "refused");  // a mark between its operands
    EXPECT_EQ(read(ftplib + ftp + "(" + bytes({0x93}) + "."), "refused");
    EXPECT_EQ(read("N(0cftplib\nFTP\n."), "ftplib FTP\nstop");  // POP takes the mark on top
    EXPECT_EQ(read("(ecftplib\nFTP\n."), "refused");            // APPENDS with nothing below its mark
    EXPECT_EQ(read("N(ecftplib\nFTP\n."), "ftplib FTP\nstop");
    EXPECT_EQ(read("](Nacftplib\nFTP\n."), "refused");  // APPEND does not reach below a mark
    // Texts below a mark are there again once it is popped.
    EXPECT_EQ(read(ftplib + ftp + "((N11" + bytes({0x93}) + "."), "ftplib FTP\nstop");
}

TEST(PickleGlobals, PythonTwoNamesAreMappedBelowProtocolThree) {
    EXPECT_EQ(read(bytes({0x80, 2}) + "ccommands\ngetoutput\n."),
              "subprocess getoutput [from commands getoutput]\nstop");
    EXPECT_EQ(read("c__builtin__\nxrange\n."), "builtins range [from __builtin__ xrange]\nstop");
    EXPECT_EQ(read("ccopy_reg\n_reconstructor\n."), "copyreg _reconstructor [from copy_reg _reconstructor]\nstop");
    EXPECT_EQ(read(bytes({0x80, 3}) + "ccommands\ngetoutput\n."), "commands getoutput\nstop");
    // From protocol 4 a dotted name is a chain of attributes; below, one getattr.
    EXPECT_EQ(read(bytes({0x80, 4}) + "cos\npath.join\n."), "os path.join dotted\nstop");
    EXPECT_EQ(read(bytes({0x80, 2}) + "cos\npath.join\n."), "os path.join\nstop");
}

TEST(PickleGlobals, PastItsBoundsTheStackIsNoLongerKnownNorRefused) {
    // More texts than the stack holds: the operands are unknown, and what
    // the unpickler would refuse for the stack's shape is read on.
    std::string payload;
    for (int k = 0; k < 70000; ++k) payload += bytes({0x8c, 1}) + "x";
    payload += bytes({0x93, 0x93}) + "0000cftplib\nFTP\n.";
    EXPECT_EQ(read(payload), "?\n?\nftplib FTP\nstop");
    // Memo entries past its bound: a GET of one never put is unknown, not refused.
    std::string memo = bytes({0x8c, 1}) + "x";
    for (int k = 0; k < 70000; ++k) memo += bytes({'r', k & 0xff, (k >> 8) & 0xff, (k >> 16) & 0xff, 0});
    memo += bytes({'j', 0x70, 0x11, 1, 0, 'j', 0x70, 0x11, 1, 0, 0x93}) + ".";  // 70000
    EXPECT_EQ(read(memo), "?\nstop");
}

}  // namespace
}  // namespace scanner_core
