// Fuzzes the record parser that import runs over files an operator supplies: any line is either
// refused with a reason, or gives a record whose name follows its kind's name rule and whose
// content passes its kind's content rule within the kind's size limit; such a record, written
// out again as export writes it, parses back to the same kind, name and bytes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "admin/records.h"
#include "base/owners.h"
#include "fuzz_check.h"
#include "store/layout.h"

namespace {

// The record as export would write it, through a memory stream.
std::string written_again(const store_record& record, const byte_buffer& content) {
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* out = ::open_memstream(&text, &length);
    FUZZ_CHECK(out != nullptr);
    FUZZ_CHECK(write_record(out, *record.kind, record.name, content.data(), content.size()));
    FUZZ_CHECK(std::fclose(out) == 0);
    const heap_text owned(text);
    return std::string(owned.get(), length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    store_record record;
    byte_buffer content;
    char why[DETAIL_SIZE] = "";
    if (!parse_record(line.data(), line.size(), &record, content, why)) {
        FUZZ_CHECK(why[0] != '\0');
        return 0;
    }
    FUZZ_CHECK(record.kind != nullptr && record.name != nullptr);
    FUZZ_CHECK(record.kind->is_name(record.name));
    FUZZ_CHECK(content.size() <= record.kind->size_limit);
    FUZZ_CHECK(record.kind->check_content(record.name, content.data(), content.size()).fault ==
               content_fault::none);

    const std::string name = record.name;
    const file_kind_rules* kind = record.kind;
    const std::string bytes(reinterpret_cast<const char*>(content.data()), content.size());
    std::string again = written_again(record, content);
    FUZZ_CHECK(!again.empty() && again.back() == '\n');
    store_record reparsed;
    byte_buffer recontent;
    FUZZ_CHECK(parse_record(again.data(), again.size(), &reparsed, recontent, why));
    FUZZ_CHECK(reparsed.kind == kind && name == reparsed.name);
    FUZZ_CHECK(std::string(reinterpret_cast<const char*>(recontent.data()), recontent.size()) ==
               bytes);
    return 0;
}
