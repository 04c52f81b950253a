// A fixture giving each test a context of its own whose error messages are kept.
#pragma once

#include "osl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct Reported {
    uint32_t code;
    std::string text;
};

class EngineFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        reports.clear();
        ctx = createContext(nullptr, &reports);
        setContextErrorHandler(ctx, keep);
    }
    void TearDown() override { deleteContext(ctx); }

    std::string lastReport() const { return reports.empty() ? std::string() : reports.back().text; }

    static void keep(EngineContext* c, uint32_t code, const char* text)
    {
        if (auto* log = static_cast<std::vector<Reported>*>(contextUserData(c))) log->push_back({code, text});
    }

    EngineContext* ctx = nullptr;
    std::vector<Reported> reports;
};
