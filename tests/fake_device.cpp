#include "fake_device.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "../daemon/globals.h"

fake_device::fake_device()
{
    char templ[] = "/tmp/bgfreeze-test-XXXXXX";
    root = mkdtemp(templ);
    setenv("BGFREEZE_FAKE_DEVICE", root.c_str(), 1);
    static const std::string original_path = std::getenv("PATH");
    setenv("PATH", (std::string(BGFREEZE_TEST_TOOLS) + ":" + original_path).c_str(), 1);
    list_file_path = path("vexlo名单.conf");
    log_file_path = path("vexlo日志.log");
    previous_package.clear();
}

fake_device::~fake_device()
{
    std::system(("rm -rf '" + root + "'").c_str());
}

std::string fake_device::path(const std::string& name) const
{
    return root + "/" + name;
}

void fake_device::write(const std::string& name, const std::string& content) const
{
    std::ofstream(path(name), std::ios::binary) << content;
}

std::string fake_device::read(const std::string& name) const
{
    std::ifstream file(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string task_line(const std::string& package, int task_id)
{
    std::ostringstream line;
    line << "  taskId=" << task_id << ": " << package << "/" << package
         << ".MainActivity bounds=[0,0][1080,2340] userId=0 visible=true\n";
    return line.str();
}

std::string lru_line(const std::string& package, const std::string& state, int pid)
{
    std::ostringstream line;
    line << "  #12: fore   " << state << "  LCMN " << pid << ":" << package
         << "/u0a123 act:activities|recents\n";
    return line.str();
}
