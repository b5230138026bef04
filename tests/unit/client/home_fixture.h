#pragma once
// Points HOME at a scratch folder for one test, at the diagnostic level (every line logged), and
// puts the preference and log state back.

#include "core/log.h"
#include "core/preferences.h"
#include "process.h"
#include "text_checks.h"

#include <cstdlib>
#include <gtest/gtest.h>

#include <string>

using telvane::testing::contains;

class ScratchHome : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("HOME", home_.path().c_str(), 1);
        logfile_close();
        user_preference.dialog_level = 4;
    }
    void TearDown() override {
        logfile_close();
        user_preference = saved_;
        inactivity_timeout = saved_delay_;
        max_logfile_size = saved_limit_;
        setenv("HOME", old_home_.c_str(), 1);
    }
    std::string private_dir() const { return home_.path() + "/.Telvane"; }
    std::string log_text() const { return telvane::testing::read_file(private_dir() + "/.logfile"); }

    telvane::testing::ScratchDir home_;

private:
    // What the test may change, as it was when the fixture was made.
    const std::string old_home_ = getenv("HOME") ? getenv("HOME") : "";
    const UserPreference saved_ = user_preference;
    const int32_t saved_delay_ = inactivity_timeout;
    const int saved_limit_ = max_logfile_size;
};
