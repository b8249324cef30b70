#pragma once
// The module as an application drives it, over the in-process PC/SC service:
// everything goes through the function list of C_GetFunctionList.
#include "cryptoki.h"
#include "tempdir.h"
#include "testpcsc/service.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR);

namespace harness {

// The configuration is read once per process, at the module's first call:
// each test program writes its own before any test runs.
class ConfigurationEnvironment : public ::testing::Environment {
public:
    explicit ConfigurationEnvironment(std::string extraLines) : extra_(std::move(extraLines)) {}
    void SetUp() override {
        dir_ = std::make_unique<TempDir>();
        const std::string conf =
            dir_->write("brisane.txt", "cache = " + cacheDirectory() +
                                           "\nlogpath = " + logDirectory() + "\n" + extra_);
        ::setenv("BRISANE_CONF", conf.c_str(), 1);
    }
    void TearDown() override { dir_.reset(); }
    std::string cacheDirectory() const { return dir_->path() + "/cache/"; }
    // Used only when the extra lines turn logging on.
    std::string logDirectory() const { return dir_->path() + "/"; }
    const TempDir& dir() const { return *dir_; }

private:
    std::string extra_;
    std::unique_ptr<TempDir> dir_;
};

// Registers the test program's configuration before any test runs.
inline ConfigurationEnvironment* installConfiguration(std::string extraLines) {
    auto* e = new ConfigurationEnvironment(std::move(extraLines));
    ::testing::AddGlobalTestEnvironment(e);
    return e;
}

inline CK_FUNCTION_LIST_PTR functions() {
    static CK_FUNCTION_LIST_PTR list = [] {
        CK_FUNCTION_LIST_PTR f = nullptr;
        if (C_GetFunctionList(&f) != CKR_OK)
            std::abort();
        return f;
    }();
    return list;
}

// A card that only answers to being powered: enough for slot and event tests.
class BlankCard : public vcard::CardDevice {
public:
    vcard::Bytes atr() const override { return {0x3B, 0x80, 0x80, 0x01, 0x01}; }
    void powerOn() override {}
    void powerOff() override {}
    void reset() override {}
    vcard::Bytes transmit(const vcard::Bytes&) override { return {0x6D, 0x00}; }
};

// Fresh PC/SC service for every test; the library is finalised after each
// test whatever it left behind.
class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override { testpcsc::service().reset(); }
    void TearDown() override {
        f->C_Finalize(nullptr);
        testpcsc::service().reset();
    }

    std::vector<CK_SLOT_ID> slotList() {
        CK_ULONG count = 0;
        EXPECT_EQ(f->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
        std::vector<CK_SLOT_ID> ids(count);
        EXPECT_EQ(f->C_GetSlotList(CK_FALSE, ids.data(), &count), CKR_OK);
        ids.resize(count);
        return ids;
    }
    CK_SLOT_INFO slotInfo(CK_SLOT_ID id) {
        CK_SLOT_INFO info{};
        EXPECT_EQ(f->C_GetSlotInfo(id, &info), CKR_OK) << "slot " << id;
        return info;
    }
    static std::string text(const CK_UTF8CHAR* field, std::size_t width) {
        return std::string(reinterpret_cast<const char*>(field), width);
    }
    static std::string padded(const std::string& s, std::size_t width) {
        return s + std::string(width - s.size(), ' ');
    }

    CK_FUNCTION_LIST_PTR f = functions();
    testpcsc::Service& svc = testpcsc::service();
};

}  // namespace harness
