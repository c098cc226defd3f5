// The tool's commands, one file each. Each adds its subcommand and its
// options to the tool's command line, and returns what runs it.
#pragma once

#include "tools/commands/common.h"

namespace tools::commands {

Command AddList(CLI::App& app, Common& common);     // list.cpp
Command AddInfo(CLI::App& app, Common& common);     // info.cpp
Command AddGet(CLI::App& app, Common& common);      // get_set.cpp
Command AddSet(CLI::App& app, Common& common);      // get_set.cpp
Command AddReset(CLI::App& app, Common& common);    // get_set.cpp
Command AddWindow(CLI::App& app, Common& common);   // window.cpp
Command AddCapture(CLI::App& app, Common& common);  // capture.cpp
Command AddStream(CLI::App& app, Common& common);   // stream.cpp
Command AddView(CLI::App& app, Common& common);     // view.cpp
Command AddConvert(CLI::App& app, Common& common);  // convert.cpp

}  // namespace tools::commands
