// Listing readers and asking for a card, each with a context of its own.
#include "ctl/pcscreader.h"

#include "ctlhelpers.h"

namespace ctltest {
namespace {

using testpcsc::Function;

class ReaderTest : public testpcsc::ServiceTest {};

TEST_F(ReaderTest, ListFollowsTheServiceOrderAndPresenceFollowsTheCard) {
    // No readers is an empty list, not an error.
    EXPECT_TRUE(ctl::PcScReader::list().empty());
    EXPECT_FALSE(ctl::PcScReader("Gone").isCardPresent());

    // Not alphabetical, and names with blanks and non-ASCII text survive.
    const std::vector<std::string> order = {"Zeta 01 00", "Čtečka 00 00", "Alpha"};
    for (const auto& n : order)
        svc.addReader(n);
    svc.insertCard("Čtečka 00 00", testpcsc::test::swCard(0x90, 0x00));

    const std::vector<ctl::PcScReader> readers = ctl::PcScReader::list();
    std::vector<std::string> names;
    std::vector<bool> present;
    for (const auto& r : readers) {
        names.push_back(r.getName());
        present.push_back(r.isCardPresent());
    }
    EXPECT_EQ(names, order);
    EXPECT_EQ(present, (std::vector<bool>{false, true, false}));
    svc.removeCard("Čtečka 00 00");
    EXPECT_FALSE(readers[1].isCardPresent());

    // Every context and reader list went back to the service.
    EXPECT_EQ(svc.openContexts(), 0u);
    EXPECT_EQ(svc.outstandingAllocations(), 0u);
}

// A failing list is checked with the slots; a failing presence query keeps its code.
TEST_F(ReaderTest, PresenceFailureCarriesItsCodeAndLeavesNoContext) {
    svc.addReader("R");
    svc.failCall(Function::GetStatusChange, SCARD_F_INTERNAL_ERROR);
    EXPECT_EQ(failureCode([] { ctl::PcScReader("R").isCardPresent(); }), 0x80100001u);
    EXPECT_EQ(svc.openContexts(), 0u);
}

}  // namespace
}  // namespace ctltest
