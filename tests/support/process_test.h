// process_test.h: the fixture of the process tests: a fresh store per test, which does not exist
// until the first request creates it, and requests on it.
#ifndef VELTO_TESTS_PROCESS_TEST_H
#define VELTO_TESTS_PROCESS_TEST_H

#include <gtest/gtest.h>

#include <string>

#include "velto.h"

namespace velto_test {

class process_test : public ::testing::Test {
  protected:
    // The store at data_, which a test may point elsewhere.
    cgi_store store() const { return cgi_store(data_); }
    environment cgi(const std::string& method, const std::string& path_info) const {
        return store().env(method, path_info);
    }
    process_result get(const std::string& path_info) const { return store().get(path_info); }
    process_result post(const std::string& path_info, const std::string& body,
                        const run_options& options = {}) const {
        return store().post(path_info, body, options);
    }

    temp_dir root_;
    std::string data_ = (root_.path() / "data").string();
};

}  // namespace velto_test

#endif  // VELTO_TESTS_PROCESS_TEST_H
