// Payload encodings, safe file names, the directory sink and the routing of dispatches.
#include <gtest/gtest.h>

#include <cstdio>

#include "korviad/kd_plugin.h"
#include "replay/replay_harness.h"
#include "replay_dir_sink.h"
#include "replay_payload_encoding.h"
#include "replay_payload_files.h"
#include "replay_sink_router.h"

namespace {

using nlohmann::json;
using replay_testing::Gunzip;
using replay_testing::ReadFile;

const json kPayload = json::parse(
    R"({"log_time_end": 2, "log_time_start": 1, "stats": [{"name": "ü\u0001", "n": 18446744073709551615, "x": -1.5}]})");

// Every encoding read back from its file, as korvia-replay --read does.
TEST(PayloadEncoding, FlagsChooseFormatAndCompressionAndFilesReadBack) {
  testing_support::TempDir dir;
  struct Case {
    uint32_t flags;
    const char* extension;
  };
  const Case cases[] = {{0x01, ".json"},    {0x02, ".json"},    {0x04, ".msgpack"},
                        {0x21, ".json.gz"}, {0x22, ".json.gz"}, {0x24, ".msgpack.gz"},
                        {0x00, ".json"},    {0x20, ".json.gz"}};
  for (const Case& c : cases) {
    kdreplay::EncodedPayload encoded = kdreplay::EncodePayload(kPayload, c.flags);
    EXPECT_EQ(encoded.extension, c.extension) << c.flags;
    std::string file = "p" + std::to_string(c.flags) + encoded.extension;
    dir.Write(file, encoded.bytes);
    json decoded;
    std::string error;
    EXPECT_TRUE(kdreplay::ReadPayloadFile(dir.File(file), decoded, error)) << error;
    EXPECT_EQ(decoded, kPayload) << c.flags;
  }
  json decoded;
  std::string error;
  dir.Write("cut.json", "{\"stats\": [");
  EXPECT_FALSE(kdreplay::ReadPayloadFile(dir.File("cut.json"), decoded, error));
  EXPECT_EQ(error.rfind(dir.File("cut.json") + ": ", 0), 0u) << error;
  // The gzip format, as zcat reads it.
  std::string gz = kdreplay::EncodePayload(kPayload, 0x21).bytes;
  ASSERT_GE(gz.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(gz[0]), 0x1f);
  EXPECT_EQ(static_cast<unsigned char>(gz[1]), 0x8b);
  EXPECT_EQ(Gunzip(kdreplay::GzipCompress("")), "");
}

// The texts written without a whole copy of their own are the library's compact text, with
// invalid UTF-8 replaced, also past the stream writer's 64 KiB pieces.
TEST(PayloadEncoding, TextWrittenInPiecesEqualsTheLibrarysText) {
  const json large = [] {
    json built = kPayload;
    for (int i = 0; i < 5000; ++i)
      built["stats"].push_back({{"name", std::string("bad \xff ") + std::to_string(i)}, {"n", i}});
    return built;
  }();
  for (const json* payload : {&kPayload, &large}) {
    const std::string expected = payload->dump(-1, ' ', false, json::error_handler_t::replace);
    std::string appended = "x";
    kdreplay::AppendJsonText(appended, *payload);
    EXPECT_EQ(appended, "x" + expected);
    FILE* stream = tmpfile();
    ASSERT_NE(stream, nullptr);
    kdreplay::WriteJsonText(stream, *payload);
    std::string written(static_cast<size_t>(ftell(stream)), '\0');
    rewind(stream);
    ASSERT_EQ(fread(&written[0], 1, written.size(), stream), written.size());
    fclose(stream);
    EXPECT_EQ(written, expected);
  }
  EXPECT_GT(large.dump(-1, ' ', false, json::error_handler_t::replace).size(), 64u * 1024);
}

TEST(SafeFileName, OnlyLettersDigitsDotUnderscoreDashSurvive) {
  EXPECT_EQ(kdreplay::SafeFileName("Sink_1.a-b"), "Sink_1.a-b");
  EXPECT_EQ(kdreplay::SafeFileName("../a/b"), ".._a_b");
  EXPECT_EQ(kdreplay::SafeFileName(std::string("a\0b\n\x7f c", 7)), "a_b___c");
  EXPECT_EQ(kdreplay::SafeFileName("grün"), "gr_n");    // one "_" per character
  EXPECT_EQ(kdreplay::SafeFileName("\xff\xfe"), "__");  // bytes that are no UTF-8 at all
  EXPECT_EQ(kdreplay::SafeFileName(""), "");
  EXPECT_EQ(kdreplay::SafeFileName(std::string(300, 'x')).size(), kdreplay::kMaxSafeName);
}

TEST(DirectorySink, NumbersFilesPerNameAndNeverOverwrites) {
  testing_support::TempDir dir;
  kdreplay::DirectorySink sink(dir.File("a/b/c"));
  std::string error;
  ASSERT_TRUE(sink.Prepare(error)) << error;
  EXPECT_TRUE(sink.Write("s", "ch", {{"n", 1}}, 0x01, 1, error));
  EXPECT_TRUE(sink.Write("s", "ch", {{"n", 2}}, 0x01, 1, error));
  EXPECT_TRUE(sink.Write("s", "other", {{"n", 3}}, 0x04, 1, error));
  // Different names that become the same file name continue its numbering.
  EXPECT_TRUE(sink.Write("s", "c/h", {{"n", 4}}, 0x01, 1, error));
  EXPECT_TRUE(sink.Write("s", "c_h", {{"n", 5}}, 0x01, 1, error));
  EXPECT_EQ(json::parse(ReadFile(dir.File("a/b/c/s-ch-1.json"))), json({{"n", 1}}));
  EXPECT_EQ(json::parse(ReadFile(dir.File("a/b/c/s-ch-2.json"))), json({{"n", 2}}));
  EXPECT_EQ(json::from_msgpack(ReadFile(dir.File("a/b/c/s-other-1.msgpack"))), json({{"n", 3}}));
  EXPECT_EQ(json::parse(ReadFile(dir.File("a/b/c/s-c_h-1.json"))), json({{"n", 4}}));
  EXPECT_EQ(json::parse(ReadFile(dir.File("a/b/c/s-c_h-2.json"))), json({{"n", 5}}));

  // A later run continues after the highest number of each name, not fooled by look-alikes.
  dir.Write("a/b/c/s-ch-7.json.gz", "");
  dir.Write("a/b/c/s-ch-9-x.json", "");
  dir.Write("a/b/c/s-ch-99999999999999999999.json", "");
  kdreplay::DirectorySink again(dir.File("a/b/c"));
  EXPECT_TRUE(again.Write("s", "ch", {{"n", 6}}, 0x01, 1, error));
  EXPECT_TRUE(again.Write("s", "new", {{"n", 7}}, 0x01, 1, error));
  EXPECT_EQ(json::parse(ReadFile(dir.File("a/b/c/s-ch-8.json"))), json({{"n", 6}}));
  EXPECT_EQ(json::parse(ReadFile(dir.File("a/b/c/s-new-1.json"))), json({{"n", 7}}));

  kdreplay::DirectorySink later(dir.File("later/deeper"));  // made by its first write
  EXPECT_TRUE(later.Write("s", "ch", {{"n", 8}}, 0x01, 1, error)) << error;
  EXPECT_EQ(json::parse(ReadFile(dir.File("later/deeper/s-ch-1.json"))), json({{"n", 8}}));
}

TEST(DirectorySink, TimePatternNamesFilesByWindowAndStaysInTheFolder) {
  testing_support::TempDir dir;
  kdreplay::DirectorySink sink(dir.File("out/%Y%m%d-%H%M"));
  EXPECT_EQ(sink.path(), dir.File("out"));
  std::string error;
  const json window = {{"log_time_start", 1553160644}, {"stats", json::array()}};
  EXPECT_TRUE(sink.Write("s", "ch", window, 0x01, 1, error)) << error;
  EXPECT_TRUE(sink.Write("s", "ch", window, 0x01, 1, error)) << error;  // a second batch
  EXPECT_TRUE(sink.Write("s", "other", window, 0x01, 1, error)) << error;
  kdreplay::DirectorySink slashes(dir.File("out/%D..%n"));  // "03/21/19..\n"
  EXPECT_TRUE(slashes.Write("s", "ch", window, 0x01, 1, error)) << error;
  std::vector<std::string> files;
  ASSERT_TRUE(kdreplay::ListPayloadFiles({dir.File("out")}, files, error)) << error;
  std::vector<std::string> names;
  for (const std::string& file : files) names.push_back(file.substr(dir.File("out/").size()));
  EXPECT_EQ(names, std::vector<std::string>({"03_21_19.._-s-ch-1.json", "20190321-0930-s-ch-1.json",
                                             "20190321-0930-s-ch-2.json",
                                             "20190321-0930-s-other-1.json"}));
}

// Conversions in directory components give a folder per window, made as needed; each with its
// own numbering and index, and none leaving the sink's folder.
TEST(DirectorySink, TimePatternsInDirectoriesMakeAFolderPerWindow) {
  testing_support::TempDir dir;
  kdreplay::DirectorySink sink(dir.File("out/%Y/%m/../files"));
  EXPECT_EQ(sink.path(), dir.File("out"));
  std::string error;
  const json march = {{"log_time_start", 1553160644}, {"stats", json::array()}};
  const json april = {{"log_time_start", 1555000000}, {"stats", json::array()}};
  EXPECT_TRUE(sink.Write("s", "ch", march, 0x01, 2, error)) << error;
  EXPECT_TRUE(sink.Write("s", "ch", april, 0x01, 2, error)) << error;
  EXPECT_TRUE(sink.Write("s", "ch", march, 0x01, 2, error)) << error;
  EXPECT_EQ(ReadFile(dir.File("out/2019/03/_/files/s-ch-2.json")), march.dump() + "\n");
  EXPECT_EQ(ReadFile(dir.File("out/2019/04/_/files/s-ch-1.json")), april.dump() + "\n");
  kdreplay::PayloadIndex index;
  EXPECT_EQ(index.RecordTypeOf(dir.File("out/2019/03/_/files/s-ch-1.json")), 2u);
  EXPECT_EQ(index.RecordTypeOf(dir.File("out/2019/04/_/files/s-ch-1.json")), 2u);
}

TEST(PayloadFiles, FoldersListTheirPayloadsInNumberOrder) {
  testing_support::TempDir dir;
  ASSERT_EQ(mkdir(dir.File("d").c_str(), 0755), 0);
  for (const char* name : {"s-c-10.json", "s-c-9.msgpack.gz", "s-c-2.json.gz", ".hidden.json",
                           "notes.txt", "s-c-1.json"})
    dir.Write(std::string("d/") + name, "{}");
  std::vector<std::string> files;
  std::string error;
  ASSERT_TRUE(kdreplay::ListPayloadFiles({dir.File("d"), dir.File("d/notes.txt")}, files, error));
  std::vector<std::string> expected;
  for (const char* name :
       {"s-c-1.json", "s-c-2.json.gz", "s-c-9.msgpack.gz", "s-c-10.json", "notes.txt"})
    expected.push_back(dir.File(std::string("d/") + name));
  EXPECT_EQ(files, expected);
  EXPECT_FALSE(kdreplay::ListPayloadFiles({dir.File("missing")}, files, error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

TEST(DirectorySink, PrepareRefusesAFile) {
  testing_support::TempDir dir;
  dir.Write("plain", "x");
  std::string error;
  EXPECT_FALSE(kdreplay::DirectorySink(dir.File("plain")).Prepare(error));
  EXPECT_NE(error.find("Not a directory"), std::string::npos) << error;
  EXPECT_FALSE(kdreplay::DirectorySink(dir.File("plain/below")).Prepare(error));
}

TEST(DirectorySink, FailedWriteLeavesNoTemporaryFile) {
  testing_support::TempDir dir;
  kdreplay::DirectorySink sink(dir.File("out"));
  std::string error;
  ASSERT_TRUE(sink.Prepare(error));
  ASSERT_EQ(mkdir(dir.File("out/s-ch-1.json").c_str(), 0755), 0);
  EXPECT_FALSE(sink.Write("s", "ch", {{"n", 1}}, 0x01, 1, error));
  EXPECT_TRUE(sink.Write("s", "ch", {{"n", 2}}, 0x01, 1, error));  // the lost number stays a gap
  std::string listing;
  std::string command = "ls -A '" + dir.File("out") + "'";
  FILE* ls = popen(command.c_str(), "r");
  char buffer[256];
  while (fgets(buffer, sizeof(buffer), ls) != nullptr) listing += buffer;
  pclose(ls);
  EXPECT_EQ(listing, ".korvia-payloads.jsonl\ns-ch-1.json\ns-ch-2.json\n");
}

TEST(PayloadRouter, WritesOneLinePerChannelAndRoutesNamedSinksToDirectories) {
  testing_support::TempDir dir;
  std::string out_path = dir.File("stdout.txt");
  FILE* out = fopen(out_path.c_str(), "w+");
  ASSERT_NE(out, nullptr);
  {
    kdreplay::LineWriter writer(out);
    kdreplay::SinkTarget files{kdreplay::SinkTarget::Kind::kDirectory, dir.File("files")};
    kdreplay::PayloadRouter router({{"disk", files}, {"shown", kdreplay::SinkTarget{}}}, writer);
    std::string error;
    ASSERT_TRUE(router.Prepare(error)) << error;
    router.Attach([] { return 3u; });
    kdSinkRegistry::Dispatch("other", {"b", "a"}, {{"k", "v"}}, 0x24);
    kdSinkRegistry::Dispatch("disk", {"x"}, {{"k", 1}}, 0x01);
    router.Detach();
    kdSinkRegistry::Dispatch("other", {"c"}, json::object(), 0x01);  // no longer routed
    EXPECT_EQ(router.failures(), 0u);
  }
  fclose(out);
  EXPECT_EQ(ReadFile(out_path),
            "{\"channel\":\"a\",\"flags\":36,\"payload\":{\"k\":\"v\"},\"sink\":\"other\"}\n"
            "{\"channel\":\"b\",\"flags\":36,\"payload\":{\"k\":\"v\"},\"sink\":\"other\"}\n");
  EXPECT_EQ(json::parse(ReadFile(dir.File("files/disk-x-1.json"))), json({{"k", 1}}));
  // The directory's index says which record type the plugin named for the file.
  EXPECT_EQ(ReadFile(dir.File("files/.korvia-payloads.jsonl")),
            "{\"file\":\"disk-x-1.json\",\"record_type\":3}\n");
  kdreplay::PayloadIndex index;
  EXPECT_EQ(index.RecordTypeOf(dir.File("files/disk-x-1.json")), 3u);
  EXPECT_EQ(index.RecordTypeOf(dir.File("files/disk-x-2.json")), 0u);  // not listed
}

}  // namespace
