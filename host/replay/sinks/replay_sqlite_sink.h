// sqlite:PATH — the records of every payload as rows of an SQLite database (the tables of
// replay_record_tables.h), each row with four more columns in front: "sink", "channel",
// "log_time_start" and "log_time_end" (null for the NAT session log, which has no envelope), and
// two at its end: "run_id" and "probe" (null in rows written before runs had identities, whose
// tables gain the two columns when such a database is opened). Each table has an index on its
// time columns and a view TABLE_runs that puts each row beside its run.
//
// The table "runs" lists every run that stored rows (run_id, probe, started, ended, inputs as a
// JSON list of names) and "run_inputs" the fingerprint of each input. Open refuses a run whose
// input's fingerprint an earlier run lists, unless the identity says append; the check and the
// run's registration are one transaction. A run that stored nothing is removed again at Close.
//
// The rows of one payload are written in one transaction, so a crash leaves all or none of them.
// The database runs in WAL mode so that readers can query it while rows arrive. A database from
// an earlier run is appended to; a table of the same name whose columns differ from ours is
// never altered: Open refuses it. A payload that is not laid out as record rows is reported and
// not written.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "replay_payload_sink.h"
#include "replay_run_identity.h"

struct sqlite3;

namespace kdreplay {

class SqliteSink : public PayloadSink {
 public:
  explicit SqliteSink(std::string path, const RunIdentity& run = {});
  SqliteSink(const SqliteSink&) = delete;
  SqliteSink& operator=(const SqliteSink&) = delete;
  ~SqliteSink() override;

  // Opens or creates the database and creates the tables that are missing.
  bool Open(std::string& error) override;
  bool Write(const std::string& sink, const std::string& channel, const nlohmann::json& payload,
             uint32_t flags, uint32_t record_type) override;
  uint64_t Close() override;

 private:
  bool Execute(const std::string& sql, std::string& error);
  bool CheckOrCreateTable(int type, std::string& error);
  // Refuses inputs stored already (error says which), then registers the run.
  bool RegisterRun(std::string& error);
  // Adds the run and its inputs unless it is listed; false on a database error.
  bool InsertRun();
  bool Insert(const std::string& sink, const std::string& channel, const nlohmann::json& payload,
              uint32_t record_type, std::string& error);

  const std::string path_;
  const RunIdentity run_;
  bool stored_ = false;  // a payload's rows were committed
  std::atomic<bool> failure_reported_{false};
  std::mutex lock_;
  sqlite3* db_ = nullptr;
};

}  // namespace kdreplay
