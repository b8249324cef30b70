// In-process side: the same two readers in the service, Kalvik cards loaded
// from images made by `kalvik-vcard init`.
#include "scenario.h"
#include "testpcsc/service.h"
#include "vcard/kalvikcard.h"

namespace scenario {
namespace {

class ServiceCard : public CardSlot {
public:
    explicit ServiceCard(std::string image) : image_(std::move(image)) {}
    void insert() override {
        // The card's ATR offers T=1 only, as pcscd negotiates it.
        testpcsc::service().insertCard(kOwnReader, vcard::KalvikCard::load(image_),
                                       testpcsc::Protocol::T1);
    }
    void remove() override { testpcsc::service().removeCard(kOwnReader); }

private:
    std::string image_;
};

}  // namespace

std::unique_ptr<CardSlot> prepare(const Options& options, const std::string& image) {
    testpcsc::Service& svc = testpcsc::service();
    svc.reset();
    svc.addReader(kSharedReader);
    svc.addReader(kOwnReader);
    const std::string shared = options.workDir + "/shared.img";
    if (runTool({options.vcardTool, "init", shared}))
        svc.insertCard(kSharedReader, vcard::KalvikCard::load(shared), testpcsc::Protocol::T1);
    return std::make_unique<ServiceCard>(image);
}

}  // namespace scenario
