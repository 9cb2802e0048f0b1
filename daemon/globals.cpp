#include "globals.h"

// The five live in this one file so that their construction order is the order written here.
std::string previous_package;
std::string list_file_path = u8"/data/user/0/com.vexlo.android/files/vexlo名单.conf";
std::string log_file_path = u8"/data/media/0/Android/vexlo日志.log";
package_list system_packages;
package_list whitelist;
