#pragma once

// The user-interface test program runs several QtTest classes, one per file, in one process.

#include <QObject>

#include <functional>

namespace uitest {

// Registers a test class; main() runs them in ascending `order`, then by name. Returns true.
bool add(const char *name, int order, std::function<QObject *()> make);

} // namespace uitest

// At file scope, after the class: PELOMIR_UI_TEST(TestSomething, 1)
#define PELOMIR_UI_TEST(Class, order)                                                                        \
    static const bool Class##Registered = uitest::add(#Class, order, []() -> QObject * { return new Class; });
