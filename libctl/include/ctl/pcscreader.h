#pragma once
// One PC/SC reader, named by its (UTF-8) name.
#include <string>
#include <vector>

namespace ctl {

class PcScReader {
public:
    // A reader without a name; logged as "NULL".
    PcScReader() = default;
    explicit PcScReader(std::string name) : name_(std::move(name)) {}

    const std::string& getName() const { return name_; }

    // The readers the service knows, in the service's order. No reader at all
    // is an empty list, not an error.
    static std::vector<PcScReader> list();

    // Asks the service once, without blocking; false when the service has no
    // readers. Uses a context of its own, so any thread may call it.
    bool isCardPresent() const;

private:
    static std::vector<PcScReader> listNonConst();

    std::string name_;
};

}  // namespace ctl
