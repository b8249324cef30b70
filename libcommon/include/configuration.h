#pragma once
// Settings read once per process from /etc/brisane.txt (or the file named by
// $BRISANE_CONF). Lines are "key = value"; unknown keys and malformed lines
// are ignored, the last occurrence of a key wins.
#include <cstddef>
#include <cstdint>
#include <string>

class Configuration {
public:
    enum Language : std::int32_t { LANGUAGE_CZECH = 0, LANGUAGE_ENGLISH = 1 };
    static constexpr std::size_t DEFAULT_SLOT_COUNT = 6;
    // More is taken as this many: every slot costs memory and time in each
    // slot query, and no machine has that many readers.
    static constexpr std::size_t MAX_SLOT_COUNT = 64;
    // A settings file of seven keys; anything larger (or not a regular file)
    // is not read and every default stands.
    static constexpr std::size_t MAX_FILE_SIZE = 64 * 1024;

    // The process-wide instance, read on first use.
    static Configuration& instance();

    // Defaults only (no file read).
    Configuration();
    // Defaults, then the keys of `file`; a file that cannot be opened changes nothing.
    explicit Configuration(const std::string& file);

    // $BRISANE_CONF when set and not empty, else /etc/brisane.txt.
    static std::string configurationFilePath();

    const std::string& getLogPath() const { return logPath_; }
    bool isLoggingEnabled() const { return loggingEnabled_; }
    std::int32_t getLanguage() const { return language_; }
    bool isPinPadDisabled() const { return pinPadDisabled_; }
    bool isPinPadDialogDisabled() const { return pinPadDialogDisabled_; }
    std::size_t getSlotCount() const { return slotCount_; }
    // With a trailing "/"; empty when no home directory is known.
    const std::string& getCacheDirectory() const { return cacheDirectory_; }

    // Signed decimal as the file's integer values are read: leading white
    // space, optional sign, digits up to the first non-digit; no digits is 0.
    static long long parseInteger(const std::string& text);

private:
    void loadDefaults();
    void readFile(const std::string& file);
    void apply(const std::string& key, const std::string& value);

    std::string logPath_;
    bool loggingEnabled_ = false;
    std::int32_t language_ = LANGUAGE_ENGLISH;
    bool pinPadDisabled_ = false;
    bool pinPadDialogDisabled_ = false;
    std::size_t slotCount_ = DEFAULT_SLOT_COUNT;
    std::string cacheDirectory_;
};
