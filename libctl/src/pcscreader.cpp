#include "ctl/pcscreader.h"

#include "pcsc.h"

QV_TRACE_UNIT("CTL", "libctl/src/pcscreader");

namespace ctl {

using namespace detail;

std::vector<PcScReader> PcScReader::list() { return listNonConst(); }

std::vector<PcScReader> PcScReader::listNonConst() {
    QV_ENTER("ctl::PcScReader::listNonConst");
    SCARDCONTEXT context = establishContext();

    char* buf = nullptr;
    DWORD buf_len = SCARD_AUTOALLOCATE;
    LONG rv = SCardListReaders(context, nullptr, reinterpret_cast<LPSTR>(&buf), &buf_len);
    QV_TRACE_CALL("SCardListReadersW(context, NULL, reinterpret_cast<LPWSTR>(&buf), &buf_len)", rv);
    std::vector<PcScReader> readers;
    if (rv == SCARD_S_SUCCESS && buf != nullptr) {
        try {
            // A multi-string: names ended by a zero, an empty name ends the list.
            const char* end = buf + buf_len;
            for (const char* name = buf; name < end && *name != '\0';) {
                std::string reader_name(name);
                QV_TRACE_VALUE(reader_name);
                name += reader_name.size() + 1;
                readers.emplace_back(std::move(reader_name));
            }
        } catch (...) {
            SCardFreeMemory(context, buf);
            releaseContext(context);
            throw;
        }
        SCardFreeMemory(context, buf);
    }
    releaseContext(context);
    if (rv != SCARD_S_SUCCESS && rv != SCARD_E_NO_READERS_AVAILABLE)
        fail(rv);
    return readers;
}

bool PcScReader::isCardPresent() const {
    QV_ENTER("ctl::PcScReader::isCardPresent");
    QV_TRACE_NAMED("name", name_.empty() ? std::string("NULL") : name_);
    SCARDCONTEXT context = establishContext();

    SCARD_READERSTATE rs{};
    rs.szReader = name_.c_str();
    rs.dwCurrentState = SCARD_STATE_UNAWARE;
    LONG rv = SCardGetStatusChange(context, 1, &rs, 1);
    QV_TRACE_CALL("SCardGetStatusChangeW(context, 1, &rs, 1)", rv);
    releaseContext(context);

    // pcsc-lite refuses to watch a reader it does not know: that reader holds
    // no card, just as when there are no readers at all.
    if (rv == SCARD_E_NO_READERS_AVAILABLE || rv == SCARD_E_UNKNOWN_READER)
        return false;
    if (rv != SCARD_S_SUCCESS)
        fail(rv);
    return (rs.dwEventState & STATE_PRESENT) != 0;
}

}  // namespace ctl
