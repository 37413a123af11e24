#include "replay_read_back.h"

#include <cstdio>
#include <set>

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
  std::set<std::string> runs;
  for (const std::string& file : files) {
    nlohmann::json payload;
    if (!ReadPayloadFile(file, payload, error)) {
      Report("%s", error.c_str());
      failed = true;
      continue;
    }
    if (!InTimeRange(payload, options.from, options.to)) continue;
    const IndexedFile indexed = index.Lookup(file);
    const uint32_t record_type = indexed.record_type;
    if (!indexed.run.empty()) runs.insert(indexed.run);
    if (options.csv) {
      csv.Add(payload, record_type, indexed.run, indexed.probe);
    } else {
      summary.Count(payload, record_type, source);
    }
  }

  // Results of several runs are added up: say so, as a second replay of one file would count twice.
  if (runs.size() > 1 && !options.csv)
    Report(
        "the files read come from %zu runs, whose results are added together (--csv tells "
        "them apart by run_id)",
        runs.size());
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
