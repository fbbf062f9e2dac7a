// Format registration and retrieval through the CGI program.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "process_test.h"

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

const std::string CANNOT_WRITE = R"({"error":"cannot write format file"})";
const std::string NOT_FOUND = R"({"error":"format not found"})";

// A representation with the given header bytes 0-7 followed by `tail`.
std::string rep(std::initializer_list<int> header, const std::string& tail = "") {
    std::string bytes;
    for (int b : header) bytes += static_cast<char>(b);
    return bytes + tail;
}

class Formats : public process_test {
  protected:
    process_result post_format(const std::string& body, const run_options& options = {}) const {
        return post("/v1/formats", body, options);
    }
    process_result post_hex(const std::string& hex) const {
        return post_format(R"({"format_rep":")" + hex + R"("})");
    }
    process_result get_format(const std::string& id) const { return get("/v1/formats/" + id); }
    std::string formats() const { return data_ + "/formats"; }
};

TEST_F(Formats, RegistrationAnswersInTheOrderOfItsChecks) {
    struct {
        std::string body;
        std::string expected;
    } cases[] = {
        {R"({"other":"0008000000000000"})", response(400, R"({"error":"missing format_rep"})")},
        {R"({"format_rep":8})", response(400, R"({"error":"missing format_rep"})")},
        {R"({"format_rep":null})", response(400, R"({"error":"missing format_rep"})")},
        {R"({"format_rep":true})", response(400, R"({"error":"missing format_rep"})")},
        {R"({"note":"format_rep","format_rep":"0008000000000000"})",
         response(400, R"({"error":"missing format_rep"})")},
        {R"({"format_rep":""})", response(400, R"({"error":"format_rep too short"})")},
        {R"({"format_rep":"000800000000000"})", response(400, R"({"error":"format_rep too short"})")},
        {R"({"format_rep":"zzzz"})", response(400, R"({"error":"format_rep too short"})")},
        {R"({"format_rep":"00080000000000000"})",
         response(400, R"({"error":"invalid hex in format_rep"})")},
        {R"({"format_rep":"00 0800000000000000"})",
         response(400, R"({"error":"invalid hex in format_rep"})")},
        {R"({"format_rep":"0x0008000000000000"})",
         response(400, R"({"error":"invalid hex in format_rep"})")},
        {R"({"format_rep":"\u00300008000000000000"})",
         response(400, R"({"error":"invalid hex in format_rep"})")},
        {R"({"format_rep":"0009000000000000"})",
         response(400, R"({"error":"format_rep_length mismatch"})")},
        {R"({"format_rep":"0000000100000001"})",
         response(400, R"({"error":"format_rep_length mismatch"})")},
        {R"({"format_rep":"0000000100008000"})",
         response(400, R"({"error":"format_rep_length mismatch"})")},
        {R"({"format_rep":"FFFF00FFFFFFFFFF"})",
         response(400, R"({"error":"format_rep_length mismatch"})")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const process_result result = post_format(c.body);
        expect_answer(result, c.expected);
    }
    EXPECT_EQ(tree_listing(formats()), "");
}

TEST_F(Formats, TheHeaderDeclaresTheLengthAndTheIdCoversIt) {
    struct {
        std::string name;
        std::string bytes;
        std::size_t declared;
    } cases[] = {
        {"declared 8 of 8", rep({0, 8, 0, 0, 0, 0, 0, 0}), 8},
        {"byte 3 zero ignores bytes 6 and 7", rep({0, 8, 0, 0, 0, 0, 0xff, 0xff}), 8},
        {"byte 3 set, bytes 6 and 7 zero", rep({0, 10, 0, 1, 0, 0, 0, 0}, "ab"), 10},
        {"declared 0 takes the header", rep({0, 0, 0, 0, 0, 0, 0, 0}, "tail"), 0},
        {"bytes beyond the declared length are stored", rep({0, 9, 7, 0, 7, 7, 7, 7}, "xyz"), 9},
        {"byte 2, 4 and 5 are not read", rep({0, 8, 0xaa, 0, 0xbb, 0xcc, 0, 0}), 8},
        {"declared 2^16 with byte 3 set",
         rep({0, 0, 0, 1, 0, 0, 0, 1}, std::string(65536 - 8, 'q')), 65536},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = server_id(c.bytes, c.declared);
        EXPECT_EQ(post_hex(to_hex(c.bytes)).out, response(200, R"({"server_id":")" + id + "\"}"));
        EXPECT_EQ(read_file(formats() + "/" + id), c.bytes);
        EXPECT_EQ(get_format(id).out, response(200, R"({"format_rep":")" + to_hex(c.bytes) + "\"}"));
    }
}

TEST_F(Formats, BytesBeyondTheDeclaredLengthDoNotChangeTheIdAndTheFirstStays) {
    const std::string first = rep({0, 8, 0, 0, 0, 0, 0, 0}, "first");
    const std::string second = rep({0, 8, 0, 0, 0, 0, 0, 0}, "second");
    const std::string id = server_id(first, 8);
    ASSERT_EQ(server_id(second, 8), id);
    const std::string answer = response(200, R"({"server_id":")" + id + "\"}");
    EXPECT_EQ(post_hex(to_hex(first)).out, answer);
    EXPECT_EQ(post_hex(to_hex(second)).out, answer);
    EXPECT_EQ(get_format(id).out, response(200, R"({"format_rep":")" + to_hex(first) + "\"}"));
}

TEST_F(Formats, TheSameRepresentationTwiceLeavesTheFileUntouched) {
    const std::string bytes = rep({0, 12, 1, 0, 2, 3, 4, 5}, "\x80\x81\xfe\xff");
    const std::string id = server_id(bytes, 12);
    const std::string answer = response(200, R"({"server_id":")" + id + "\"}");
    ASSERT_EQ(post_hex(to_hex(bytes)).out, answer);
    const std::string path = formats() + "/" + id;
    // Push the modification time into the past so a rewrite would show.
    const auto old_time = fs::last_write_time(path) - std::chrono::hours(1);
    fs::last_write_time(path, old_time);
    struct stat before;
    ASSERT_EQ(::stat(path.c_str(), &before), 0);

    EXPECT_EQ(post_hex(to_hex(bytes, true)).out, answer);  // upper case: the same bytes
    struct stat after;
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(fs::last_write_time(path), old_time);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(read_file(path), bytes);
    EXPECT_EQ(tree_listing(formats()), id + "\n");
    EXPECT_EQ(get("/v1/health").out,
              response(200, R"({"status":"ok","format_count":1,"atom_count":0})"));
}

TEST_F(Formats, RetrievalAnswers) {
    const std::string bytes = rep({0, 8, 0, 0, 0, 0, 0, 0});
    const std::string id = server_id(bytes, 8);
    ASSERT_EQ(post_hex(to_hex(bytes)).out, response(200, R"({"server_id":")" + id + "\"}"));
    write_file(formats() + "/empty", "");
    fs::create_directory(formats() + "/subdir");
    write_file(formats() + "/.hidden", "secret");
    write_file(data_ + "/atoms/s/x", "5\n");
    write_file(root_.path() / "outside", "outside");

    std::string upper_id = id;
    for (char& c : upper_id) c = static_cast<char>(toupper(c));
    struct {
        std::string id;
        std::string expected;
    } cases[] = {
        {id, response(200, R"({"format_rep":")" + to_hex(bytes) + "\"}")},
        {"", response(400, R"({"error":"missing format id"})")},
        {"00112233445566778899aabbccddeeff", response(404, NOT_FOUND)},
        {upper_id, response(404, NOT_FOUND)},
        {"empty", response(200, R"({"format_rep":""})")},
        {"subdir", response(500, R"({"error":"read error"})")},
        {".hidden", response(404, NOT_FOUND)},
        {".", response(404, NOT_FOUND)},
        {"..", response(404, NOT_FOUND)},
        {"../atoms/s/x", response(404, NOT_FOUND)},
        {"../../outside", response(404, NOT_FOUND)},
        {"a/b", response(404, NOT_FOUND)},
        {id + "/", response(404, NOT_FOUND)},
        {"/etc/passwd", response(404, NOT_FOUND)},
        {std::string(300, 'a'), response(404, NOT_FOUND)},
        {std::string(2000, 'a'), response(404, NOT_FOUND)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const process_result result = get_format(c.id);
        expect_answer(result, c.expected);
    }
}

TEST_F(Formats, TheLargestBodyRoundTrips) {
    // The largest representation a 10 MiB body can carry, declaring its whole length.
    const std::string open = R"({"format_rep":")", close = R"(" })";
    const std::size_t size = (10485760 - open.size() - close.size()) / 2;
    ASSERT_EQ(size, 0x4ffff7u);
    std::string bytes = rep({0xff, 0xf7, 0, 1, 0, 0, 0x00, 0x4f});
    bytes.reserve(size);
    for (std::size_t i = bytes.size(); i < size; i++) bytes += static_cast<char>(i * 131 % 251);
    std::string body = open + to_hex(bytes) + close;
    body.insert(body.size() - 1, 10485760 - body.size(), ' ');
    ASSERT_EQ(body.size(), 10485760u);

    const std::string id = server_id(bytes, size);
    EXPECT_EQ(post_format(body).out, response(200, R"({"server_id":")" + id + "\"}"));
    EXPECT_EQ(read_file(formats() + "/" + id), bytes);
    EXPECT_EQ(get_format(id).out, response(200, R"({"format_rep":")" + to_hex(bytes) + "\"}"));
    // One byte less and the declared length is more than the representation holds.
    bytes.pop_back();
    EXPECT_EQ(post_hex(to_hex(bytes)).out,
              response(400, R"({"error":"format_rep_length mismatch"})"));
}

TEST_F(Formats, AFailedWriteAnswers500AndLeavesNothing) {
    const std::string bytes = rep({0, 8, 0, 0, 0, 0, 0, 0}, std::string(4000, 'z'));
    const std::string body = R"({"format_rep":")" + to_hex(bytes) + R"("})";
    const process_result result = post_format(body, file_size_limited(1000));
    expect_answer(result, response(500, CANNOT_WRITE));
    EXPECT_EQ(tree_listing(formats()), "");
    // Nothing short blocks a later registration of the same ID.
    const std::string id = server_id(bytes, 8);
    EXPECT_EQ(post_format(body).out, response(200, R"({"server_id":")" + id + "\"}"));
    EXPECT_EQ(read_file(formats() + "/" + id), bytes);
}

TEST_F(Formats, NoFormatsDirectoryMeans500) {
    fs::create_directory(data_);
    write_file(formats(), "a file where the directory belongs");
    const process_result result = post_hex("0008000000000000");
    EXPECT_EQ(result.out, response(500, CANNOT_WRITE));
    EXPECT_EQ(read_file(formats()), "a file where the directory belongs");
    EXPECT_EQ(tree_listing(data_), "atoms/\natoms/s/\natoms/v/\nformats\n");
}

TEST_F(Formats, ConcurrentRegistrationsOfOneIdAllSucceedWithOneCompleteFile) {
    std::string bytes = rep({0, 8, 0, 0, 0, 0, 0, 0});
    for (int i = 0; i < 200000; i++) bytes += static_cast<char>(i % 256);
    const std::string id = server_id(bytes, 8);
    const std::string body = R"({"format_rep":")" + to_hex(bytes) + R"("})";
    std::vector<process_result> results(8);
    std::vector<std::thread> threads;
    for (auto& result : results) threads.emplace_back([&] { result = post_format(body); });
    for (auto& thread : threads) thread.join();
    for (const auto& result : results) {
        EXPECT_EQ(result.out, response(200, R"({"server_id":")" + id + "\"}"));
    }
    EXPECT_EQ(tree_listing(formats()), id + "\n");
    EXPECT_EQ(read_file(formats() + "/" + id), bytes);
}

}  // namespace
