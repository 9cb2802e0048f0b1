#pragma once

#include <string>

// A temporary folder that stands in for the device: the stand-ins for am, pm and dumpsys on PATH
// print the files the test writes here, and the list file and the log file live here too.
struct fake_device {
    std::string root;

    fake_device();
    ~fake_device();

    std::string path(const std::string& name) const;
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;

    // What the stand-in tools print.
    void set_am(const std::string& stack_list) const { write("am.out", stack_list); }
    void set_pm(const std::string& package_list) const { write("pm.out", package_list); }
    void set_dumpsys(const std::string& lru) const { write("dumpsys.out", lru); }
};

// One task line of "am stack list" and one process line of "dumpsys activity lru", in a
// device's shape.
std::string task_line(const std::string& package, int task_id = 42);
std::string lru_line(const std::string& package, const std::string& state, int pid = 4321);
