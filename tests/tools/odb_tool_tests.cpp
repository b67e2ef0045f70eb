// End-to-end tests of the odb tool: each runs odb as a process on a fresh
// database and checks what it prints, how it exits and what it leaves on
// disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/killable_helper.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace {

using odb::test::program_result;
using args = std::vector<std::string>;
namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_text(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string joined(const args& arguments) {
    std::string text;
    for (const std::string& argument : arguments) text += " " + argument;
    return text;
}

class OdbTool : public ::testing::Test {
protected:
    std::string dir(const char* name) const { return odb::test::narrow(temp_ / name); }

    program_result odb(args arguments, const std::string& input = "") const {
        arguments.insert(arguments.begin(), ODB_TOOL);
        return odb::test::run_program(arguments, input);
    }

    // Runs odb, expects success and returns its output.
    std::string ok(const args& arguments, const std::string& input = "") const {
        program_result result = odb(arguments, input);
        EXPECT_EQ(result.exit_code, 0) << "odb" << joined(arguments) << "\n" << result.err;
        return result.out;
    }

    // The identifiers that `ls --ids` prints.
    std::vector<std::string> ids(args arguments) const {
        arguments.insert(arguments.begin(), "ls");
        arguments.push_back("--ids");
        std::istringstream lines(ok(arguments));
        std::vector<std::string> out;
        for (std::string line; std::getline(lines, line);) out.push_back(line);
        return out;
    }

    odb::test::temp_dir temp_;
};

using list = std::vector<std::string>;

TEST_F(OdbTool, SessionStoresReadsFindsAndChecks) {
    const std::string db = dir("shop");
    EXPECT_TRUE(contains(ok({"create", db, "NameIndex.Enabled=yes"}), "created database"));
    EXPECT_EQ(ok({"new", db, "5", "--name", "Widget", "--set", "10=u32:12"}), "00000001\n");
    EXPECT_EQ(ok({"new", db, "5", "--name", "Gadget"}), "00000002\n");

    // Text carries a zero byte, names are UTF-16 with the byte-order mark,
    // and a shorter value replaces a longer one whole.
    ok({"set", db, "5", "1", "11", "blue"});
    EXPECT_EQ(ok({"get", db, "5", "1", "11"}), "blue\n");
    EXPECT_EQ(ok({"get", db, "5", "1", "11", "--hex"}), "626c756500\n");
    ok({"set", db, "5", "1", "11", "red"});
    EXPECT_EQ(ok({"get", db, "5", "1", "11", "--hex"}), "72656400\n");
    EXPECT_EQ(ok({"get", db, "5", "1", "name", "--hex"}), "fffe570069006400670065007400\n");
    EXPECT_EQ(ok({"get", db, "5", "1", "name"}), "Widget\n");
    EXPECT_EQ(ok({"get", db, "5", "1", "10"}), "0c000000\n");  // not text: hex

    // Bytes survive a file round trip; an offset write leaves zeros before it.
    const std::string binary("\0\x01\xff\0\x7f", 5);
    write_text(dir("in.bin"), binary);
    ok({"set", db, "5", "2", "12", "--file", dir("in.bin")});
    ok({"get", db, "5", "2", "12", "--out", dir("out.bin")});
    EXPECT_EQ(read_text(dir("out.bin")), binary);
    EXPECT_EQ(ok({"get", db, "5", "2", "12", "--raw"}), binary);
    ok({"set", db, "5", "2", "13", "--hex", "0102", "--offset", "3"});
    EXPECT_EQ(ok({"get", db, "5", "2", "13", "--hex"}), "0000000102\n");
    ok({"set", db, "5", "2", "14", "--utf16", "Zo\xc3\xab"});
    EXPECT_EQ(ok({"get", db, "5", "2", "14"}), "Zo\xc3\xab\n");
    ok({"unset", db, "5", "2", "14"});
    EXPECT_EQ(odb({"get", db, "5", "2", "14"}).exit_code, 1);

    EXPECT_EQ(ok({"lookup", db, "5", "WIDGET"}), "00000001\n");
    EXPECT_EQ(odb({"lookup", db, "5", "Nothing"}).exit_code, 3);  // not found: a status of its own
    EXPECT_TRUE(contains(ok({"ls", db, "5"}), "00000001  live  Widget\n"));
    auto listed = nlohmann::json::parse(ok({"ls", db, "5", "--json"}));
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[1]["name"], "Gadget");
    auto attributes = nlohmann::json::parse(ok({"attrs", db, "5", "2", "--json"}));
    EXPECT_EQ(attributes.size(), 3u);  // name, 12, 13
    EXPECT_EQ(ok({"count", db, "5"}), "2\n");
    EXPECT_TRUE(contains(ok({"check", db}), "no problems"));

    // Failures name the status and the path and exit 1; usage errors exit 2.
    program_result missing = odb({"ls", dir("nowhere"), "5"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_TRUE(contains(missing.err, "ODB_E_NO_DATABASE") && contains(missing.err, "nowhere"))
        << missing.err;
    program_result no_attribute = odb({"get", db, "5", "1", "77"});
    EXPECT_EQ(no_attribute.exit_code, 1);
    EXPECT_TRUE(contains(no_attribute.err, "ODB_E_NO_ATTRIBUTE") &&
                contains(no_attribute.err, "00000005/00000000/00000001"))
        << no_attribute.err;
    EXPECT_EQ(odb({"ls", db, "zz"}).exit_code, 2);
    EXPECT_EQ(odb({"set", db, "5", "1", "11"}).exit_code, 2);  // no value
    // A database is created only in a new or empty directory.
    EXPECT_EQ(odb({"create", db}).exit_code, 1);
    EXPECT_TRUE(fs::exists(fs::path(db) / "00000005"));
}

TEST_F(OdbTool, FollowsTheConventionsOfCommandLineTools) {
    program_result version = odb({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_TRUE(contains(version.out, "1.0.0") && contains(version.out, "958")) << version.out;
    program_result bogus = odb({"bogus", "x"});
    EXPECT_EQ(bogus.exit_code, 2);
    EXPECT_EQ(bogus.err.rfind("odb: 'bogus' is not an odb command", 0), 0u) << bogus.err;
    program_result parse = odb({"ls"});
    EXPECT_EQ(parse.exit_code, 2);
    EXPECT_EQ(parse.err.rfind("odb: ", 0), 0u) << parse.err;
    program_result nowhere = odb({"ls", dir("nowhere"), "5"});
    EXPECT_TRUE(contains(nowhere.err, "no such directory")) << nowhere.err;

    const std::string db = dir("conventions");
    ok({"create", db});
    ok({"new", db, "5", "--set", "10=u32:7", "--set", "11=text"});
    ok({"new", db, "5"});
    program_result unreadable = odb({"set", db, "5", "1", "12", "--file", dir("absent.bin")});
    EXPECT_EQ(unreadable.exit_code, 1);
    EXPECT_TRUE(contains(unreadable.err, "No such file or directory")) << unreadable.err;
    EXPECT_EQ(odb({"rm", db, "5", "1", "--wipe", "--delete"}).exit_code, 2);

    // A removed object is not removed again, nor a wiped one turned back
    // into a removed one.
    ok({"rm", db, "5", "1"});
    program_result again = odb({"rm", db, "5", "1"});
    EXPECT_EQ(again.exit_code, 1);
    EXPECT_TRUE(contains(again.err, "already removed")) << again.err;
    ok({"rm", db, "5", "2", "--wipe"});
    EXPECT_EQ(odb({"rm", db, "5", "2"}).exit_code, 1);
    EXPECT_EQ(ids({db, "5", "--wiped"}), list{"00000002"});

    // JSON: errors on standard error, values typed.
    program_result failed = odb({"stat", db, "5", "9", "--json"});
    EXPECT_EQ(failed.exit_code, 1);
    auto error = nlohmann::json::parse(failed.err);
    EXPECT_EQ(error["status"], "ODB_E_NO_OBJECT");
    EXPECT_TRUE(contains(error["path"].get<std::string>(), "00000009")) << failed.err;
    auto values = nlohmann::json::parse(ok({"attrs", db, "5", "1", "--json"}));
    EXPECT_EQ(values[0]["value"]["u32"], 7);
    EXPECT_EQ(values[1]["value"]["text"], "text");
    EXPECT_EQ(values[1]["value"]["hex"], "7465787400");
}

TEST_F(OdbTool, NamesTakeOneFormAndAreFoundInEither) {
    const std::string db = dir("names");
    ok({"create", db});
    ok({"new", db, "5", "--name", "Blue widget"});
    ok({"new", db, "5", "--set", "name=Blue gadget"});
    ok({"new", db, "5"});
    ok({"set", db, "5", "3", "name", "Red line"});
    ok({"new", db, "5", "--set", "name=hex:426c7565206f6c6400"});  // an 8-bit name: "Blue old"
    EXPECT_EQ(ok({"get", db, "5", "2", "name", "--hex"}), "fffe42006c00750065002000670061006400670065007400\n");
    EXPECT_EQ(ok({"get", db, "5", "3", "name", "--hex"}).substr(0, 4), "fffe");
    EXPECT_EQ(ids({db, "5", "--where", "name=blue WIDGET"}), list{"00000001"});
    EXPECT_EQ(ids({db, "5", "--where", "name~Blue*"}), (list{"00000001", "00000002", "00000004"}));
    EXPECT_EQ(ids({db, "5", "--where", "name~*{w}?d*", "--where", "name=Red line", "--any"}),
              (list{"00000001", "00000003"}));
    EXPECT_EQ(ids({db, "5", "--where", "name~Blue*", "--lacks", "10"}).size(), 3u);

    // A control character in a name does not break the table's line.
    ok({"new", db, "5", "--name", "two\nlines\t!"});
    EXPECT_TRUE(contains(ok({"ls", db, "5"}), "00000005  live  \"two\\nlines\\t!\"\n"));
}

TEST_F(OdbTool, ConfigValidatesAndWritesPlainIni) {
    const std::string db = dir("cfg");
    ok({"create", db});
    EXPECT_TRUE(contains(ok({"config", db}), "NameIndex.Enabled          no        default"));
    ok({"config", db, "nameindex.enabled=YES", "IdAssignment.FirstId=00000100"});
    const std::string ini = read_text(fs::path(db) / "DBCFG.INI");
    EXPECT_TRUE(contains(ini, "[NameIndex]\r\nEnabled=yes\r\n")) << ini;
    EXPECT_TRUE(contains(ini, "[IdAssignment]\r\nFirstId=00000100\r\n")) << ini;

    for (const char* bad : {"NameIndex.Bogus=1", "NameIndex.Enabled=true", "NameIndex.HashCount=0",
                            "IdAssignment.LastId=fff", "IdAssignment.LastId=000000ff"})
        EXPECT_EQ(odb({"config", db, bad}).exit_code, 2) << bad;
    EXPECT_EQ(read_text(fs::path(db) / "DBCFG.INI"), ini);

    // The library reads what the tool wrote.
    EXPECT_EQ(ok({"new", db, "9"}), "00000100\n");
    auto settings = nlohmann::json::parse(ok({"config", db, "--json"}))["settings"];
    EXPECT_EQ(settings[0]["setting"], "NameIndex.Enabled");
    EXPECT_EQ(settings[0]["value"], "yes");
}

TEST_F(OdbTool, ListFiltersByValueTimeAndForm) {
    const std::string db = dir("walk");
    ok({"create", db});
    ok({"new", db, "7", "--set", "1=apple", "--set", "2=u32:5"});
    ok({"new", db, "7", "--set", "1=Apricot", "--set", "2=u32:50"});
    ok({"new", db, "7", "--set", "1=banana"});
    ok({"new", db, "7", "--set", "3=hex:00ff"});

    EXPECT_EQ(ids({db, "7", "--where", "1=APPLE"}), list{"00000001"});
    EXPECT_EQ(ids({db, "7", "--where", "1~ap*"}), (list{"00000001", "00000002"}));
    EXPECT_EQ(ids({db, "7", "--where", "2<10"}), list{"00000001"});
    EXPECT_EQ(ids({db, "7", "--where", "2>10"}), list{"00000002"});
    EXPECT_EQ(ids({db, "7", "--where", "2=u32:50"}), list{"00000002"});
    EXPECT_EQ(ids({db, "7", "--where", "3=hex:00ff"}), list{"00000004"});
    EXPECT_EQ(ids({db, "7", "--has", "2"}), (list{"00000001", "00000002"}));
    EXPECT_EQ(ids({db, "7", "--lacks", "1"}), list{"00000004"});
    EXPECT_EQ(ids({db, "7", "--where", "1=banana", "--where", "2>10", "--any"}),
              (list{"00000002", "00000003"}));
    EXPECT_EQ(ids({db, "7", "--changed-after", "2000-01-01T00:00:00Z"}).size(), 4u);
    EXPECT_TRUE(ids({db, "7", "--changed-after", "2999-12-31"}).empty());
    EXPECT_EQ(odb({"ls", db, "7", "--changed-after", "yesterday"}).exit_code, 2);

    // Removed objects keep their values and can come back; wiped and
    // deleted ones cannot.
    ok({"rm", db, "7", "3"});
    ok({"rm", db, "7", "4", "--wipe"});
    ok({"rm", db, "7", "2", "--delete"});
    EXPECT_EQ(ids({db, "7"}), list{"00000001"});
    EXPECT_EQ(ids({db, "7", "--removed"}), list{"00000003"});
    EXPECT_EQ(ids({db, "7", "--wiped"}), list{"00000004"});
    EXPECT_TRUE(contains(ok({"ls", db, "7", "--all"}), "00000003  removed"));
    EXPECT_EQ(ok({"get", db, "7", "3", "1"}), "banana\n");
    auto stat = nlohmann::json::parse(ok({"stat", db, "7", "3", "--json"}));
    EXPECT_EQ(stat["form"], "removed");
    EXPECT_TRUE(contains(stat["path"].get<std::string>(), "00000003.RMV"));
    ok({"restore", db, "7", "3"});
    EXPECT_EQ(ids({db, "7"}), (list{"00000001", "00000003"}));
    EXPECT_EQ(odb({"restore", db, "7", "4"}).exit_code, 1);
    EXPECT_EQ(ok({"count", db, "7", "--all"}), "3\n");
}

TEST_F(OdbTool, DumpOfALoadedDumpIsIdentical) {
    const std::string source = dir("source"), copy = dir("copy");
    ok({"create", source, "NameIndex.Enabled=yes", "Tracking.AttributeChanges=yes"});
    ok({"new", source, "1", "--name", "alpha", "--set", "10=hex:00ff00", "--set", "11=hex:"});
    ok({"new", source, "1", "--name", "beta"});
    ok({"rm", source, "1", "2", "--wipe"});
    ok({"config", source, "Attribs.SingleFile=yes"});
    ok({"new", source, "2", "--name", "gamma", "--set", "10=u32:7"});
    ok({"new", source, "2"});  // single-file form without attributes
    ok({"new", source, "2", "--name", "delta"});
    ok({"rm", source, "2", "3"});
    ok({"import", source, "3", "12345", "--name", "imported"});

    const std::string dump = ok({"dump", source});
    EXPECT_TRUE(contains(dump, "\"form\":\"removed\"") && contains(dump, "\"form\":\"wiped\"") &&
                contains(dump, "\"storage\":\"single\"") && contains(dump, "\"storage\":\"files\""))
        << dump;
    EXPECT_TRUE(contains(ok({"load", copy}, dump), "loaded 6 objects"));
    EXPECT_EQ(ok({"dump", copy}), dump);
    EXPECT_EQ(ok({"lookup", copy, "3", "Imported"}), "00012345\n");
    EXPECT_EQ(ok({"new", copy, "2"}), "00000004\n");  // the counter came along

    EXPECT_EQ(odb({"load", copy}, dump).exit_code, 1);  // not over an existing database
    EXPECT_EQ(odb({"load", dir("other")}, "{\"type\":\"something\"}\n").exit_code, 1);
}

// The bucket file that a name lands in with the default 16 buckets.
std::string bucket_file(const std::string& name) {
    unsigned sum = 0;
    for (char c : name) sum += static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    char file[16];
    std::snprintf(file, sizeof file, "names.%03x", sum % 16);
    return file;
}

// A dump of one class with `count` objects, each with a 100-byte value.
std::string generated_dump(int count) {
    std::string text = "{\"type\":\"qmfiledb-dump\",\"version\":2,\"settings\":{}}\n"
                       "{\"type\":\"class\",\"class\":\"00000005\",\"next_id\":null}\n";
    const std::string value(136, 'A');  // base64 of 102 bytes
    for (int id = 1; id <= count; ++id) {
        char line[400];
        std::snprintf(line, sizeof line,
                      "{\"type\":\"object\",\"class\":\"00000005\",\"id\":\"%08x\",\"form\":\"live\","
                      "\"storage\":\"files\",\"attributes\":{\"00000010\":\"%s\"}}\n",
                      id, value.c_str());
        text += line;
    }
    return text + "{\"type\":\"end\",\"classes\":1,\"objects\":" + std::to_string(count) + "}\n";
}

TEST_F(OdbTool, FailedWritesAreReportedAndClosedPipesAreQuiet) {
    const std::string db = dir("out");
    ok({"load", db}, generated_dump(2000));
    ok({"set", db, "5", "1", "name", "--utf16", "first"});
    for (const args& command : std::vector<args>{{"ls", db, "5"}, {"classes", db}, {"config", db},
                                                 {"lookup", db, "5", "first"}, {"get", db, "5", "1", "10", "--raw"},
                                                 {"dump", db}, {"ls", db, "5", "--jsonl"}}) {
        args shell = {"/bin/sh", "-c", "\"$0\" \"$@\" > /dev/full", ODB_TOOL};
        shell.insert(shell.end(), command.begin(), command.end());
        program_result full = odb::test::run_program(shell);
        EXPECT_EQ(full.exit_code, 1) << joined(command);
        EXPECT_TRUE(contains(full.err, "cannot write to standard output")) << joined(command) << full.err;
    }
    // 2000 lines overflow the pipe long before the walk ends.
    for (const char* command : {"ls \"$1\" 5", "dump \"$1\""}) {
        program_result cut = odb::test::run_program(
            {"/bin/sh", "-c", std::string("\"$0\" ") + command + " | head -n 1", ODB_TOOL, db});
        EXPECT_EQ(cut.exit_code, 0) << command;
        EXPECT_EQ(std::count(cut.out.begin(), cut.out.end(), '\n'), 1) << command;
        EXPECT_EQ(cut.err, "") << command;
    }
}

TEST_F(OdbTool, LoadLeavesNothingBehindWhenCutOrInterrupted) {
    const std::string dump = generated_dump(50), target = dir("target");
    std::string cut = dump.substr(0, dump.find("\"id\":\"00000002\""));
    cut = cut.substr(0, cut.rfind('\n') + 1);
    program_result refused = odb({"load", target}, cut);
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_TRUE(contains(refused.err, "without its end record: it was cut")) << refused.err;
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(std::distance(fs::directory_iterator(temp_.path()), fs::directory_iterator()), 0);

    // Interrupted while it waits for the rest of the dump: the signal comes
    // once its directory exists, and the dump is finished after it.
    write_text(dir("part"), cut);
    write_text(dir("rest"), dump.substr(cut.size()));
    program_result stopped = odb::test::run_program(
        {"/bin/sh", "-c",
         "mkfifo \"$1/fifo\"; \"$0\" load \"$1/target\" < \"$1/fifo\" & pid=$!; exec 3> \"$1/fifo\"; "
         "cat \"$1/part\" >&3; until ls -d \"$1\"/target.odb-load-* >/dev/null 2>&1; do :; done; "
         "kill -INT $pid; cat \"$1/rest\" >&3; exec 3>&-; wait $pid",
         ODB_TOOL, odb::test::narrow(temp_.path())});
    EXPECT_EQ(stopped.exit_code, 1);
    EXPECT_TRUE(contains(stopped.err, "load interrupted") && contains(stopped.err, "nothing was loaded"))
        << stopped.err;
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(contains(ok({"load", target}, dump), "loaded 50 objects"));
}

TEST_F(OdbTool, LoadMergesIntoADatabase) {
    const std::string db = dir("merge");
    ok({"create", db});
    ok({"import", db, "5", "2", "--set", "10=mine"});
    ok({"import", db, "5", "99", "--set", "10=mine"});
    EXPECT_TRUE(contains(ok({"load", db, "--into"}, generated_dump(3)), "merged 2 objects into " + db + " (1 skipped"));
    EXPECT_EQ(ok({"get", db, "5", "2", "10"}), "mine\n");
    EXPECT_EQ(ids({db, "5"}), (list{"00000001", "00000002", "00000003", "00000099"}));
    ok({"load", db, "--into", "--replace"}, generated_dump(3));
    EXPECT_EQ(ok({"get", db, "5", "2", "10", "--hex"}).size(), 205u);  // 102 bytes, from the dump
    EXPECT_EQ(odb({"load", db}, generated_dump(3)).exit_code, 1);  // not over a database without --into
}

TEST_F(OdbTool, DestroyRefusesADirectoryWithOtherFiles) {
    const std::string db = dir("mixed");
    ok({"create", db});
    ok({"new", db, "5"});
    write_text(fs::path(db) / "NOTES.txt", "mine");
    fs::create_directory(fs::path(db) / "photos");
    program_result refused = odb({"destroy", db});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_TRUE(contains(refused.err, "NOTES.txt") && contains(refused.err, "photos/")) << refused.err;
    EXPECT_EQ(read_text(fs::path(db) / "NOTES.txt"), "mine");
    EXPECT_TRUE(fs::exists(fs::path(db) / "00000005"));
    ok({"destroy", db, "--force"});
    EXPECT_FALSE(fs::exists(fs::path(db) / "NOTES.txt"));
}

TEST_F(OdbTool, StatsChangesAndPurge) {
    const std::string db = dir("stats");
    ok({"create", db, "Tracking.ObjectChanges=yes"});
    ok({"new", db, "5", "--set", "10=a", "--set", "11=b"});
    ok({"new", db, "5", "--set", "10=c"});
    ok({"new", db, "5", "--set", "10=d"});
    ok({"rm", db, "5", "2"});
    ok({"rm", db, "5", "3", "--wipe"});
    std::istringstream lines(ok({"stats", db, "--json"}));
    std::string line;
    std::getline(lines, line);
    auto cls = nlohmann::json::parse(line);
    EXPECT_EQ(cls["class"], "00000005");
    EXPECT_EQ(cls["live"], 1);
    EXPECT_EQ(cls["removed"], 1);
    EXPECT_EQ(cls["wiped"], 1);
    EXPECT_EQ(cls["attributes"], 3);  // the wiped object keeps none
    std::getline(lines, line);
    EXPECT_EQ(nlohmann::json::parse(line)["class"], nullptr);  // the total

    const std::string changes = ok({"changes", db, "5", "--json"});
    EXPECT_TRUE(contains(changes, "\"id\":\"00000001\"") && contains(changes, "\"id\":\"00000002\""))
        << changes;
    EXPECT_EQ(ok({"changes", db, "5", "--since", "2999-01-01"}), "TIME                  ID\n");

    EXPECT_TRUE(contains(ok({"purge", db, "5", "--removed", "--older-than", "1d"}), "no removed objects"));
    EXPECT_EQ(odb({"purge", db, "5"}).exit_code, 2);
    EXPECT_EQ(ok({"purge", db, "5", "--removed"}), "purged 1 removed objects of class 00000005\n");
    EXPECT_EQ(ids({db, "5", "--all"}), (list{"00000001", "00000003"}));
}

// Progress and notices go to a terminal only, and not with --quiet.
TEST_F(OdbTool, ProgressOnlyOnATerminal) {
    if (!fs::exists("/usr/bin/script")) GTEST_SKIP() << "no script(1) to give odb a terminal";
    const std::string db = dir("terminal");
    ok({"create", db, "NameIndex.Enabled=yes"});
    ok({"new", db, "5", "--name", "x"});
    auto on_terminal = [&](const std::string& options) {
        return odb::test::run_program({"/usr/bin/script", "-qec",
                                       std::string(ODB_TOOL) + " count '" + db + "' 5 --rebuild-index" + options,
                                       "/dev/null"});
    };
    program_result quiet = on_terminal(" --quiet");
    EXPECT_FALSE(contains(quiet.out, "rebuilding")) << quiet.out;
    ok({"config", db, "NameIndex.LifeTime=1"});  // stale at once
    program_result shown = on_terminal("");
    EXPECT_TRUE(contains(shown.out, "rebuilding it ...")) << shown.out;
    EXPECT_FALSE(contains(odb({"count", db, "5", "--rebuild-index"}).err, "rebuilding"));
}

// Every directory and file under root with its size and contents.
std::map<std::string, std::string> fingerprint(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().lexically_relative(root).generic_string();
        out[name] = entry.is_directory() ? "dir" : std::to_string(entry.file_size()) + ":" + read_text(entry.path());
    }
    return out;
}

TEST_F(OdbTool, InspectionLeavesTheTreeAsItWas) {
    const std::string db = dir("inspect");
    ok({"create", db, "NameIndex.Enabled=yes"});
    for (const char* cls : {"5", "6", "7"}) {
        ok({"new", db, cls, "--name", "Blue", "--set", "10=u32:3"});
        ok({"new", db, cls, "--name", "Red"});
        ok({"rm", db, cls, "2"});
        ok({"count", db, cls, "--rebuild-index"});
    }
    const std::vector<args> inspections = {
        {"ls", db, "5", "--all"}, {"ls", db, "6", "--json"}, {"get", db, "5", "1", "10"},
        {"attrs", db, "5", "1"}, {"stat", db, "5", "2"}, {"stat", db, "5", "1", "name"},
        {"lookup", db, "5", "blue"}, {"lookup", db, "6", "red"}, {"lookup", db, "7", "none"},
        {"lookup", db, "9", "blue"}, {"count", db, "5"}, {"count", db, "6"}, {"count", db, "7"},
        {"count", db, "9"}, {"ls", db, "9"}, {"classes", db}, {"dump", db}, {"check", db},
        {"ids", db, "free"}, {"config", db}};
    auto inspect_all = [&](const char* state) {
        const auto before = fingerprint(db);
        for (const args& command : inspections) {
            odb(command);
            EXPECT_EQ(fingerprint(db), before) << state << ": odb" << joined(command);
        }
    };
    inspect_all("clean");

    // A damaged bucket, a lost header and an index past its life time.
    const fs::path classes = fs::path(db);
    std::string bucket = read_text(classes / "00000005" / bucket_file("Blue"));
    write_text(classes / "00000005" / bucket_file("Blue"), "XXXX" + bucket.substr(4));
    fs::remove(classes / "00000006" / "names.dat");
    std::string header = read_text(classes / "00000007" / "names.dat");
    write_text(classes / "00000007" / "names.dat", header.substr(0, 4) + std::string(4, '\1') + header.substr(8));
    inspect_all("damaged");

    // Read around the index: the answers are still right, and a class that
    // does not exist is reported.
    program_result walked = odb({"lookup", db, "5", "BLUE"});
    EXPECT_EQ(walked.out, "00000001\n");
    EXPECT_TRUE(contains(walked.err, "looked up by walking")) << walked.err;
    EXPECT_EQ(odb({"lookup", db, "5", "BLUE", "--quiet"}).err, "");
    EXPECT_EQ(ok({"lookup", db, "6", "blue"}), "00000001\n");
    EXPECT_EQ(ok({"count", db, "7"}), "1\n");
    program_result missing = odb({"count", db, "9"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_TRUE(contains(missing.err, "no class 00000009")) << missing.err;
    program_result check = odb({"check", db});
    EXPECT_EQ(check.exit_code, 1);
    EXPECT_TRUE(contains(check.out, "wrong magic") && contains(check.out, "00000006") &&
                contains(check.out, "names.dat"))
        << check.out;
}

TEST_F(OdbTool, CheckRepairsADamagedIndexBucket) {
    const std::string db = dir("index");
    ok({"create", db, "NameIndex.Enabled=yes"});
    ok({"new", db, "4", "--name", "Ab"});
    ok({"new", db, "4", "--name", "Cd"});
    ok({"count", db, "4", "--rebuild-index"});  // builds the index
    EXPECT_TRUE(contains(ok({"check", db}), "no problems"));

    const fs::path bucket = fs::path(db) / "00000004" / bucket_file("Ab");
    auto damage = [&] {
        std::string content = read_text(bucket);
        ASSERT_GE(content.size(), 8u);
        content.replace(0, 4, "XXXX");
        write_text(bucket, content);
    };
    damage();
    program_result found = odb({"check", db});
    EXPECT_EQ(found.exit_code, 1);
    EXPECT_TRUE(contains(found.out, bucket.filename().string() + ": the bucket file has the wrong magic"))
        << found.out;

    // The failed lookups of that check may already have made the library
    // drop the index; damage it afresh for the repair.
    damage();
    program_result repaired = odb({"check", db, "--repair"});
    EXPECT_EQ(repaired.exit_code, 0) << repaired.out;
    EXPECT_TRUE(contains(repaired.out, "the bucket file has the wrong magic") &&
                contains(repaired.out, "repaired: rebuilt the name index of class 00000004"))
        << repaired.out;
    EXPECT_TRUE(contains(ok({"check", db}), "no problems"));
    EXPECT_EQ(ok({"lookup", db, "4", "ab"}), "00000001\n");
}

TEST_F(OdbTool, CheckReportsACutRecordFile) {
    const std::string db = dir("records");
    ok({"create", db, "Attribs.SingleFile=yes"});
    ok({"new", db, "3", "--set", "1=first", "--set", "2=second value"});
    ok({"new", db, "3", "--set", "1=other"});
    const fs::path records = fs::path(db) / "00000003" / "00000000" / "00000001" / "ATTRIBS.FDB";
    fs::resize_file(records, fs::file_size(records) - 3);

    // Reported; --repair cuts the torn record off, so the second check is clean.
    for (const char* mode : {"", "--repair"}) {
        args command = {"check", db};
        if (*mode) command.push_back(mode);
        program_result result = odb(command);
        EXPECT_EQ(result.exit_code, *mode ? 0 : 1) << mode << result.out;
        EXPECT_TRUE(contains(result.out, records.string() + ": the record of attribute 00000002") &&
                    contains(result.out, "cut"))
            << result.out;
    }
    // What a writer killed inside an append leaves: a free record (id 0)
    // whose area the file does not reach. Nothing is lost.
    fs::resize_file(records, 8);  // the header alone: no records
    std::string tail(28, '\0');  // a record header: id 0, capacity 400
    tail[4] = static_cast<char>(0x90);
    tail[5] = 0x01;
    std::ofstream(records, std::ios::binary | std::ios::app) << tail;
    EXPECT_TRUE(contains(ok({"check", db}), "no problems"));
    // Cut inside the header: after the magic the library sees no records,
    // within the magic it refuses the file.
    fs::resize_file(records, 5);
    program_result header = odb({"check", db});
    EXPECT_EQ(header.exit_code, 1);
    EXPECT_TRUE(contains(header.out, "cut inside its 8-byte header")) << header.out;
    fs::resize_file(records, 3);
    header = odb({"check", db});
    EXPECT_EQ(header.exit_code, 1);
    EXPECT_TRUE(contains(header.out, "ODB_E_BAD_HEADER")) << header.out;
}

// What a power cut leaves in the default mode: a record file left empty,
// one cut inside a record's data, one cut inside a record header.
TEST_F(OdbTool, CheckRepairsRecordFilesAPowerCutLeft) {
    const std::string db = dir("powercut");
    ok({"create", db, "Attribs.SingleFile=yes"});
    ok({"new", db, "3", "--set", "1=kept"});
    ok({"new", db, "3", "--set", "1=kept", "--set", "2=torn value"});
    ok({"new", db, "3", "--set", "1=kept"});
    auto records = [&](const char* id) {
        return fs::path(db) / "00000003" / "00000000" / id / "ATTRIBS.FDB";
    };
    const fs::path empty = records("00000001"), data = records("00000002"), header = records("00000003");
    const std::string kept = read_text(header);
    fs::resize_file(empty, 0);
    fs::resize_file(data, fs::file_size(data) - 3);
    std::ofstream(header, std::ios::binary | std::ios::app) << std::string(10, '\x7f');

    program_result found = odb({"check", db});
    EXPECT_EQ(found.exit_code, 1);
    EXPECT_TRUE(contains(found.out, empty.string() + ": the file is cut inside its 8-byte header (0 bytes)") &&
                contains(found.out, "[repairable: write the header of a record file without records]") &&
                contains(found.out, data.string() + ": the record of attribute 00000002") &&
                contains(found.out, header.string() + ": the file ends inside a record header") &&
                contains(found.out, "3 problems"))
        << found.out;

    program_result repaired = odb({"check", db, "--repair"});
    EXPECT_EQ(repaired.exit_code, 0) << repaired.out;
    EXPECT_TRUE(contains(repaired.out, "repaired: wrote the header of " + empty.string()) &&
                contains(repaired.out, "repaired: cut " + data.string()) &&
                contains(repaired.out, "repaired: cut " + header.string()))
        << repaired.out;
    EXPECT_TRUE(contains(ok({"check", db}), "no problems"));
    // Every whole record stays, byte for byte; the empty file reads as
    // an object without attributes.
    EXPECT_EQ(read_text(header), kept);
    EXPECT_EQ(read_text(empty), std::string("QFDB\x08\0\0\x01", 8));
    EXPECT_EQ(ok({"attrs", db, "3", "1", "--json"}), "[]\n");
    EXPECT_EQ(ok({"get", db, "3", "2", "1"}), "kept\n");
    EXPECT_EQ(odb({"get", db, "3", "2", "2"}).exit_code, 1);
    ok({"set", db, "3", "1", "5", "new"});
    EXPECT_EQ(ok({"get", db, "3", "1", "5"}), "new\n");
}

#ifndef _WIN32
TEST_F(OdbTool, CheckLeavesARecordFileAnotherProcessHolds) {
    const std::string db = dir("held");
    ok({"create", db, "Attribs.SingleFile=yes"});
    ok({"new", db, "3"});
    const fs::path records = fs::path(db) / "00000003" / "00000000" / "00000001" / "ATTRIBS.FDB";
    fs::resize_file(records, 0);
    odb::test::killable_helper holder({"hold-object-until-killed", db, "3", "1", "1"});
    ASSERT_EQ(holder.read_line(), "held");
    // A copy of odb beside a short lock time-out, so the refusal comes soon.
    const fs::path bin = dir("bin");
    fs::create_directories(bin);
    fs::copy_file(ODB_TOOL, bin / "odb");
    write_text(bin / "QMFILEDB.INI", "[LockOptions]\nTimeout=40\nSleep=5\n");
    program_result held =
        odb::test::run_program({(bin / "odb").string(), "--verbose", "check", db, "--repair"});
    EXPECT_EQ(held.exit_code, 1);
    EXPECT_TRUE(contains(held.out, "not repaired: cannot open live object 00000003/00000001") &&
                contains(held.out, "OBJLOCK.FDB"))
        << held.out;
    EXPECT_EQ(fs::file_size(records), 0u);
}
#endif

TEST_F(OdbTool, VerboseAddsTheLibrarysLineOnTheFailure) {
    const std::string db = dir("verbose");
    ok({"create", db, "Attribs.SingleFile=yes"});
    ok({"new", db, "3", "--name", "x"});
    const fs::path records = fs::path(db) / "00000003" / "00000000" / "00000001" / "ATTRIBS.FDB";
    write_text(records, "not a record file");

    EXPECT_FALSE(contains(odb({"get", db, "3", "1", "name"}).err, "qmfiledb:"));
    program_result result = odb({"--verbose", "get", db, "3", "1", "name"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(contains(result.err, "ODB_E_BAD_HEADER (0xdb000017): read " + records.string() +
                                         ": not a record file"))
        << result.err;
    auto error = nlohmann::json::parse(odb({"attrs", db, "3", "1", "--json", "--verbose"}).err);
    EXPECT_TRUE(contains(error["trace"].get<std::string>(), records.string())) << error;

    // A problem that does not end the run carries the line the same way.
    const std::string line = "\n  qmfiledb: ODB_obj_attribute_enum: ODB_E_BAD_HEADER";
    EXPECT_FALSE(contains(odb({"check", db}).out, line));
    program_result check = odb({"--verbose", "check", db});
    EXPECT_TRUE(contains(check.out, line) && contains(check.out, records.string() + ": not a record file"))
        << check.out;
    auto found = nlohmann::json::parse(odb({"check", db, "--json", "--verbose"}).out);
    EXPECT_TRUE(contains(found["problems"][0]["trace"].get<std::string>(), records.string())) << found;
}

TEST_F(OdbTool, CheckMovesALowCounterOnlyWhenSafe) {
    const std::string db = dir("counters");
    ok({"create", db});
    for (int i = 0; i < 3; ++i) ok({"new", db, "1"});
    const fs::path counter = fs::path(db) / "00000001" / "OBJID.FDB";
    write_text(counter, "Next ID=00000002");
    program_result low = odb({"check", db});
    EXPECT_EQ(low.exit_code, 1);
    EXPECT_TRUE(contains(low.out, counter.string() + ": the counter 00000002 is not above identifier 00000003"))
        << low.out;
    EXPECT_EQ(odb({"check", db, "--repair"}).exit_code, 0);
    EXPECT_EQ(read_text(counter), "Next ID=00000004");

    // Class 2 handed out 3 and deleted it: moving every counter to one past
    // the highest identifier in use would hand 3 out again.
    for (int i = 0; i < 3; ++i) ok({"new", db, "2"});
    ok({"rm", db, "2", "3", "--delete"});
    write_text(counter, "Next ID=00000001");
    program_result unsafe = odb({"check", db, "--repair"});
    EXPECT_EQ(unsafe.exit_code, 1);
    EXPECT_TRUE(contains(unsafe.out, "not repaired: ") && contains(unsafe.out, "from 00000004 to 00000003"))
        << unsafe.out;
    EXPECT_EQ(read_text(fs::path(db) / "00000002" / "OBJID.FDB"), "Next ID=00000004");
}

TEST_F(OdbTool, IdentifierRanges) {
    const std::string db = dir("ids");
    ok({"create", db});
    ok({"new", db, "1"});
    ok({"new", db, "1"});
    EXPECT_EQ(ok({"ids", db, "free"}), "free: 00000003-fffffff0\n");
    EXPECT_EQ(ok({"ids", db, "steal", "16"}), "stolen: ffffffe1-fffffff0\n");
    EXPECT_TRUE(contains(read_text(fs::path(db) / "DBCFG.INI"), "LastId=ffffffe0\r\n"));
    EXPECT_EQ(ok({"ids", db, "assign", "100", "1ff"}), "assigned: 00000100-000001ff\n");
    EXPECT_EQ(ok({"new", db, "1"}), "00000100\n");
    EXPECT_EQ(odb({"ids", db, "steal", "0"}).exit_code, 2);
    EXPECT_EQ(odb({"ids", db, "assign", "200", "100"}).exit_code, 2);
}

// The Windows build under Wine reads what the Linux build wrote and the
// other way round: one on-disk format.
TEST_F(OdbTool, WindowsBuildSharesTheFormat) {
    if (std::string(ODB_WINDOWS_TOOL).empty()) GTEST_SKIP() << "no odb.exe to run under Wine";
    auto wine = [](args arguments) {
        arguments.insert(arguments.begin(), {ODB_WINE_RUN, ODB_WINDOWS_PREFIX, ODB_WINDOWS_TOOL});
        return odb::test::run_program(arguments);
    };
    auto wine_ok = [&](const args& arguments) {
        program_result result = wine(arguments);
        EXPECT_EQ(result.exit_code, 0) << "odb.exe" << joined(arguments) << "\n" << result.err;
        return result.out;
    };
    EXPECT_TRUE(contains(wine_ok({"--help"}), "Usage: odb"));

    const std::string linux_db = dir("from-linux");
    ok({"create", linux_db, "NameIndex.Enabled=yes"});
    ok({"new", linux_db, "5", "--name", "Widget", "--set", "10=hex:00ff10"});
    ok({"config", linux_db, "Attribs.SingleFile=yes"});
    ok({"new", linux_db, "5", "--name", "Single", "--set", "11=abc"});
    EXPECT_TRUE(contains(wine_ok({"ls", linux_db, "5"}), "00000002  live  Single"));
    EXPECT_EQ(wine_ok({"get", linux_db, "5", "1", "10", "--hex"}), "00ff10\n");
    EXPECT_EQ(wine_ok({"lookup", linux_db, "5", "single"}), "00000002\n");
    EXPECT_TRUE(contains(wine_ok({"check", linux_db}), "no problems"));
    EXPECT_EQ(wine_ok({"dump", linux_db}), ok({"dump", linux_db}));

    const std::string windows_db = dir("from-windows");
    wine_ok({"create", windows_db, "NameIndex.Enabled=yes"});
    wine_ok({"new", windows_db, "5", "--name", "Gadget", "--set", "10=u32:7"});
    wine_ok({"set", windows_db, "5", "1", "11", "hello"});
    EXPECT_TRUE(contains(ok({"ls", windows_db, "5"}), "00000001  live  Gadget"));
    EXPECT_EQ(ok({"get", windows_db, "5", "1", "11"}), "hello\n");
    EXPECT_EQ(ok({"lookup", windows_db, "5", "GADGET"}), "00000001\n");
    EXPECT_TRUE(contains(ok({"check", windows_db}), "no problems"));
    EXPECT_TRUE(contains(read_text(fs::path(windows_db) / "DBCFG.INI"), "[NameIndex]\r\nEnabled=yes\r\n"));
    EXPECT_EQ(ok({"dump", windows_db}), wine_ok({"dump", windows_db}));
}

// A local file system is fit, and the probes leave nothing behind; a
// directory that cannot be probed is an error, not a verdict.
TEST_F(OdbTool, DoctorFindsALocalDirectoryFit) {
    const std::string here = dir("doctor");
    fs::create_directory(here);
    EXPECT_TRUE(contains(ok({"doctor", here}), "verdict: fit\n"));
    EXPECT_TRUE(fs::is_empty(here));
    EXPECT_EQ(odb({"doctor", dir("missing")}).exit_code, 1);
}

}  // namespace
