// The package name's way into the commands: through one entry of the environment, which every
// child command inherits. However many names of whatever length pass through it, the environment
// keeps the same number of entries, each one valid.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../daemon/package_argument.h"

extern char** environ;

namespace {

size_t environment_entries()
{
    size_t count = 0;
    while (environ[count] != nullptr)
        ++count;
    return count;
}

// What a child shell receives: the argument as the tool would get it, then its environment.
struct child_view {
    std::string argument;
    size_t environment_entries = 0;
};

child_view run_child(const std::string& package)
{
    const std::string command = "printf '%s|' " + package_argument(package) + "; cat /proc/$$/environ";
    FILE* child = popen(command.c_str(), "r");
    child_view view;
    if (child == nullptr)
        return view;
    std::string output;
    char buffer[4096];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, child)) > 0)
        output.append(buffer, count);
    pclose(child);
    size_t bar = output.find('|');
    if (bar == std::string::npos)
        return view;
    view.argument = output.substr(0, bar);
    for (size_t at = bar + 1; at < output.size(); ++at)
        view.environment_entries += output[at] == '\0';
    return view;
}

// Names of every length from 0 to past a page, in an order that grows and shrinks the entry, so
// that an old entry is released both while and after the new one is made.
std::string name_of_call(int call)
{
    const size_t length = (size_t(call) * 7919) % 5000;
    std::string name = "com.example.";
    name.resize(length, char('a' + call % 26));
    return name;
}

TEST(package_argument, environment_keeps_one_valid_entry_over_thousands_of_names)
{
    const child_view first = run_child("com.example.first");
    ASSERT_EQ(first.argument, "com.example.first");
    const size_t entries = environment_entries();

    for (int call = 0; call < 5000; ++call) {
        const std::string name = name_of_call(call);
        package_argument(name);
        ASSERT_EQ(environment_entries(), entries) << "after call " << call;
        const char* value = std::getenv("BGFREEZE_PACKAGE");
        ASSERT_NE(value, nullptr);
        ASSERT_EQ(std::string(value), name) << "after call " << call;
    }

    for (const std::string name : {"", "com.a", "com.example.a.much.longer.package.name.than.before"}) {
        const child_view later = run_child(name);
        EXPECT_EQ(later.argument, name);
        EXPECT_EQ(later.environment_entries, first.environment_entries) << "name '" << name << "'";
    }
}

}  // namespace
