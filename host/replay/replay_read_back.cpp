#include "replay_read_back.h"

#include <cstdio>

#include "replay_csv.h"
#include "replay_line_writer.h"
#include "replay_payload_files.h"
#include "replay_report.h"
#include "replay_signals.h"
#include "replay_summary.h"

namespace kdreplay {

int RunReadBack(const Options& options) {
  std::vector<std::string> files;
  std::string error;
  if (!ListPayloadFiles(options.read, files, error)) {
    Report("%s", error.c_str());
    return kExitFailure;
  }
  RunSummary summary(options.top, options.order);
  CsvTables csv;
  const std::string source =
      std::to_string(files.size()) + (files.size() == 1 ? " file" : " files");
  bool failed = false;
  PayloadIndex index;
  for (const std::string& file : files) {
    nlohmann::json payload;
    if (!ReadPayloadFile(file, payload, error)) {
      Report("%s", error.c_str());
      failed = true;
      continue;
    }
    if (!InTimeRange(payload, options.from, options.to)) continue;
    const uint32_t record_type = index.RecordTypeOf(file);
    if (options.csv) {
      csv.Add(payload, record_type);
    } else {
      summary.Count(payload, record_type, source);
    }
  }

  IgnoreClosedPipes();
  LineWriter out(stdout);
  std::vector<std::string> lines = options.csv ? csv.Lines() : summary.Lines();
  if (!options.csv && !lines.empty()) lines.erase(lines.begin());  // no payload lines before it
  WriteResultLines(out, lines, options.csv ? "the CSV rows" : "the summary");
  if (options.csv && csv.left_out() > 0)
    Report("%llu payload(s) without flat rows left out of the CSV",
           static_cast<unsigned long long>(csv.left_out()));
  if (out.failures() > 0) return kExitFailure;
  return failed ? kExitFailure : kExitOk;
}

}  // namespace kdreplay
