#pragma once
// Points HOME at a scratch folder for one test and puts the preference and log state back.

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
        const char *old = getenv("HOME");
        old_home_ = old ? old : "";
        setenv("HOME", home_.path().c_str(), 1);
        logfile_close();
        saved_ = user_preference;
        saved_delay_ = inactivity_timeout;
        saved_limit_ = max_logfile_size;
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
    std::string old_home_;
    UserPreference saved_{};
    int32_t saved_delay_ = 0;
    int saved_limit_ = 0;
};
