#pragma once
#include <clocale>
#include <string>

#include <gtest/gtest.h>

// Sets the process locale for one test and puts the old one back.
class ScopedLocale {
public:
    explicit ScopedLocale(const char* name) : previous_(std::setlocale(LC_ALL, nullptr)) {
        if (std::setlocale(LC_ALL, name) == nullptr) ADD_FAILURE() << "locale " << name << " missing";
    }
    ~ScopedLocale() { std::setlocale(LC_ALL, previous_.c_str()); }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;

private:
    std::string previous_;
};
