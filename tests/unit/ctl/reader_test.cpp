// Listing readers and asking for a card, each with a context of its own.
#include "ctl/pcscreader.h"

#include "ctlhelpers.h"

namespace ctltest {
namespace {

using testpcsc::Function;

class ReaderTest : public testpcsc::ServiceTest {};

std::vector<std::string> names(const std::vector<ctl::PcScReader>& readers) {
    std::vector<std::string> out;
    for (const auto& r : readers)
        out.push_back(r.getName());
    return out;
}

TEST_F(ReaderTest, NoReaderIsNotAnError) {
    EXPECT_TRUE(ctl::PcScReader::list().empty());
    EXPECT_FALSE(ctl::PcScReader("Gone").isCardPresent());
    EXPECT_FALSE(ctl::PcScReader().isCardPresent());
    EXPECT_EQ(svc.openContexts(), 0u);
}

TEST_F(ReaderTest, ListFollowsTheServiceOrderAndPresenceFollowsTheCard) {
    // Not alphabetical, and names with blanks and non-ASCII text survive.
    const std::vector<std::string> order = {"Zeta 01 00", "Čtečka 00 00", "Alpha"};
    for (const auto& n : order)
        svc.addReader(n);
    svc.insertCard("Čtečka 00 00", testpcsc::test::swCard(0x90, 0x00));

    const std::vector<ctl::PcScReader> readers = ctl::PcScReader::list();
    EXPECT_EQ(names(readers), order);
    EXPECT_FALSE(readers[0].isCardPresent());
    EXPECT_TRUE(readers[1].isCardPresent());
    EXPECT_FALSE(readers[2].isCardPresent());

    svc.removeCard("Čtečka 00 00");
    EXPECT_FALSE(readers[1].isCardPresent());
    // A copy keeps its own name.
    ctl::PcScReader copy = readers[2];
    EXPECT_EQ(copy.getName(), "Alpha");

    // Every context and reader list went back to the service.
    EXPECT_EQ(svc.openContexts(), 0u);
    EXPECT_EQ(svc.outstandingAllocations(), 0u);
}

TEST_F(ReaderTest, ServiceFailuresCarryTheirCode) {
    svc.addReader("R");
    struct Row {
        Function function;
        LONG result;
        bool forList;
    };
    const Row rows[] = {
        {Function::EstablishContext, SCARD_E_NO_SERVICE, true},
        {Function::ListReaders, SCARD_E_NO_MEMORY, true},
        {Function::EstablishContext, SCARD_E_NO_SERVICE, false},
        {Function::GetStatusChange, SCARD_F_INTERNAL_ERROR, false},
    };
    for (const Row& row : rows) {
        svc.failCall(row.function, row.result);
        std::uint32_t code = failureCode([&] {
            if (row.forList)
                ctl::PcScReader::list();
            else
                ctl::PcScReader("R").isCardPresent();
        });
        EXPECT_EQ(code, static_cast<std::uint32_t>(row.result)) << testpcsc::functionName(row.function);
        EXPECT_EQ(svc.openContexts(), 0u) << testpcsc::functionName(row.function);
    }
}

}  // namespace
}  // namespace ctltest
