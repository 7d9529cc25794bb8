#include "report/stored_document.h"

#include <gtest/gtest.h>

#include <string>

#include "report/document.h"
#include "support/fake_clock.h"
#include "support/reading.h"
#include "support/temp_dir.h"

namespace {

struct PlaceCase {
    const char* name;
    std::size_t inlineLimit;
    bool file;  // a directory for the file exists
    std::size_t memoryLimit;
    StoredDocument::State state;
    bool inFile;
};

class Stored : public ::testing::TestWithParam<PlaceCase> {};

// Whatever its place, a document is byte for byte the one made in memory at once.
TEST_P(Stored, HoldsTheSameBytesWhereverItIsPut) {
    FakeClock clock(1700000000);
    EntryList list;
    for (int i = 0; i < 50; ++i)
        updateEntryList(readingOf(("02:00:00:00:00:" + std::to_string(10 + i)).c_str(), -60, i),
                        list, 0);
    const std::string whole = buildDocument("host", 1700000000, list);
    TempDir dir;
    const PlaceCase& c = GetParam();
    DocumentPlace place{
        c.inlineLimit, {(c.file ? dir.path : "/nonexistent") + "/doc-XXXXXX"}, c.memoryLimit};
    StoredDocument document;
    makeDocument(document, "host", 1700000000, list, Privacy{}, place);
    EXPECT_EQ(document.state, c.state);
    EXPECT_EQ(document.size, whole.size());
    EXPECT_EQ(document.fd >= 0, c.inFile);
    if (c.state != StoredDocument::kWhole) return;
    std::string pattern = dir.path + "/copy-XXXXXX";
    std::string copy = writeNewFile(pattern, documentWriter(document, "\n"), 0600);
    // The document's own file has no name: only the copy is there.
    EXPECT_EQ(dir.files(), std::vector<std::string>{copy.substr(dir.path.size() + 1)});
    EXPECT_EQ(dir.read(copy.substr(dir.path.size() + 1)), whole + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Places, Stored,
    ::testing::Values(
        PlaceCase{"short_in_memory", 1 << 20, true, 0, StoredDocument::kWhole, false},
        PlaceCase{"long_in_a_file", 100, true, 0, StoredDocument::kWhole, true},
        PlaceCase{"no_file_but_room", 100, false, 1 << 20, StoredDocument::kWhole, false},
        PlaceCase{"no_file_no_room", 100, false, 1000, StoredDocument::kNoFile, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
