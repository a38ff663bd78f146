#pragma once
// A test suite's Direct2D context on the real Windows API (under Wine in CI): one COM apartment
// and one context for all the suite's tests, made before the first and destroyed after the last.

#include <gtest/gtest.h>

#include <windows.h>

#include "d2dui/direct2d_context.h"

namespace d2dui::testing {

struct com_apartment {
    com_apartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~com_apartment() { CoUninitialize(); }
};

class direct2d_suite : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        com = new com_apartment();
        rc = new direct2d_context();
    }
    static void TearDownTestSuite()
    {
        delete rc;
        rc = nullptr;
        delete com;
        com = nullptr;
    }
    static inline com_apartment* com = nullptr;
    static inline direct2d_context* rc = nullptr;
};

}  // namespace d2dui::testing
