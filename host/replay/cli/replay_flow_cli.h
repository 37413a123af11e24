// The command line's flow-protocol options (--listen, --export and theirs), as entries of the
// option table: each parses its value into Options.
#pragma once

#include <set>
#include <string>

#include "replay_options.h"

namespace kdreplay {

bool AddListen(const std::string& name, const std::string& value, Options& options,
               std::string& error);
bool SetListenBuffer(const std::string& name, const std::string& value, Options& options,
                     std::string& error);
bool SetExport(const std::string& name, const std::string& value, Options& options,
               std::string& error);
// --export-domain, --export-active, --export-inactive, --export-template-datagrams and
// --export-template-seconds: whole numbers.
bool SetExportNumber(const std::string& name, const std::string& value, Options& options,
                     std::string& error);
bool SetExportBiflow(const std::string& name, const std::string& value, Options& options,
                     std::string& error);

// The rules between the flow options and the inputs, once all are read.
bool CheckFlowOptions(const Options& options, const std::set<std::string>& seen,
                      std::string& error);

}  // namespace kdreplay
