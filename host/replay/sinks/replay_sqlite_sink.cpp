#include "replay_sqlite_sink.h"

#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <utility>
#include <vector>

#include "kpp_record_rows.h"
#include "replay_json_fields.h"
#include "replay_record_tables.h"
#include "replay_report.h"

namespace kdreplay {

namespace {

using nlohmann::json;

// The columns in front of every table's own.
const std::pair<const char*, const char*> kContextColumns[] = {{"sink", "TEXT"},
                                                               {"channel", "TEXT"},
                                                               {"log_time_start", "INTEGER"},
                                                               {"log_time_end", "INTEGER"}};
// The columns after them: the run's identity. They came later, so a table of an older database
// gains them at its end rather than being refused.
const std::pair<const char*, const char*> kRunColumns[] = {{"run_id", "TEXT"}, {"probe", "TEXT"}};

// Every run that stored rows, and the inputs it replayed.
const char* const kRunTables[] = {
    ("CREATE TABLE IF NOT EXISTS runs "
     "(run_id TEXT PRIMARY KEY, probe TEXT, started INTEGER, ended INTEGER, inputs TEXT)"),
    "CREATE TABLE IF NOT EXISTS run_inputs (run_id TEXT, input TEXT, fingerprint TEXT)",
    "CREATE INDEX IF NOT EXISTS run_inputs_fingerprint ON run_inputs (fingerprint)"};

const char* DeclaredType(TableColumn::Type type) {
  switch (type) {
    case TableColumn::Type::kInteger:
      return "INTEGER";
    case TableColumn::Type::kBoolean:
      return "BOOLEAN";
    case TableColumn::Type::kText:
    case TableColumn::Type::kJson:
      return "TEXT";
  }
  return "TEXT";
}

std::vector<std::pair<std::string, std::string>> WantedColumns(const RecordTable& table) {
  std::vector<std::pair<std::string, std::string>> columns;
  for (const auto& column : kContextColumns) columns.emplace_back(column.first, column.second);
  for (const TableColumn& column : table.columns)
    columns.emplace_back(column.name, DeclaredType(column.type));
  for (const auto& column : kRunColumns) columns.emplace_back(column.first, column.second);
  return columns;
}

std::string Quoted(const std::string& name) {
  return "\"" + name + "\"";
}

int Bind(sqlite3_stmt* statement, int index, const json& value) {
  switch (value.type()) {
    case json::value_t::boolean:
      return sqlite3_bind_int(statement, index, value.get<bool>() ? 1 : 0);
    case json::value_t::number_integer:
      return sqlite3_bind_int64(statement, index, value.get<int64_t>());
    case json::value_t::number_unsigned: {
      uint64_t number = value.get<uint64_t>();
      // SQLite integers are signed 64-bit; larger counters keep their magnitude as a real.
      if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return sqlite3_bind_double(statement, index, static_cast<double>(number));
      return sqlite3_bind_int64(statement, index, static_cast<int64_t>(number));
    }
    case json::value_t::number_float:
      return sqlite3_bind_double(statement, index, value.get<double>());
    case json::value_t::string: {
      const std::string& text = value.get_ref<const std::string&>();
      return sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
    }
    default:
      return sqlite3_bind_null(statement, index);
  }
}

// Finalizes a statement on every exit path.
struct Statement {
  sqlite3_stmt* handle = nullptr;
  ~Statement() { sqlite3_finalize(handle); }
};

}  // namespace

SqliteSink::SqliteSink(std::string path, const RunIdentity& run)
    : path_(std::move(path)), run_(run) {}

SqliteSink::~SqliteSink() {
  Close();
}

bool SqliteSink::Execute(const std::string& sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
  error = message != nullptr ? message : sqlite3_errmsg(db_);
  sqlite3_free(message);
  return false;
}

bool SqliteSink::CheckOrCreateTable(int type, std::string& error) {
  const RecordTable& table = TableOfType(type);
  auto wanted = WantedColumns(table);
  Statement info;
  std::string pragma = "PRAGMA table_info(" + Quoted(table.name) + ")";
  if (sqlite3_prepare_v2(db_, pragma.c_str(), -1, &info.handle, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  std::vector<std::pair<std::string, std::string>> present;
  while (sqlite3_step(info.handle) == SQLITE_ROW) {
    auto text = [&info](int column) {
      const unsigned char* value = sqlite3_column_text(info.handle, column);
      return value == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(value));
    };
    present.emplace_back(text(1), text(2));
  }
  if (present.empty()) {
    std::string sql = "CREATE TABLE " + Quoted(table.name) + " (";
    for (size_t i = 0; i < wanted.size(); ++i)
      sql += (i == 0 ? "" : ", ") + Quoted(wanted[i].first) + " " + wanted[i].second;
    if (!Execute(sql + ")", error)) return false;
    present = wanted;
  }
  // A table written before runs had identities: its rows keep null ones.
  const size_t older = wanted.size() - std::size(kRunColumns);
  if (present.size() == older && std::equal(present.begin(), present.end(), wanted.begin())) {
    for (size_t i = older; i < wanted.size(); ++i) {
      if (!Execute("ALTER TABLE " + Quoted(table.name) + " ADD COLUMN " + Quoted(wanted[i].first) +
                       " " + wanted[i].second,
                   error))
        return false;
      present.push_back(wanted[i]);
    }
  }
  for (size_t i = 0; i < std::max(present.size(), wanted.size()); ++i) {
    auto shown = [](const std::vector<std::pair<std::string, std::string>>& columns, size_t at) {
      return at < columns.size() ? "\"" + columns[at].first + " " + columns[at].second + "\""
                                 : std::string("nothing");
    };
    if (i < present.size() && i < wanted.size() && present[i] == wanted[i]) continue;
    error = "table " + std::string(table.name) + " has other columns than korvia-replay writes" +
            " (column " + std::to_string(i + 1) + " is " + shown(present, i) + ", expected " +
            shown(wanted, i) + "); the table is left as it is: use another database";
    return false;
  }
  // Queries select windows by time; the view puts each row beside its run.
  const std::string name = table.name;
  return Execute("CREATE INDEX IF NOT EXISTS " + Quoted(name + "_log_time") + " ON " +
                     Quoted(name) + " (log_time_start, log_time_end)",
                 error) &&
         Execute("CREATE VIEW IF NOT EXISTS " + Quoted(name + "_runs") + " AS SELECT " +
                     Quoted(name) +
                     ".*, runs.started AS run_started, runs.ended AS run_ended, runs.inputs AS "
                     "run_inputs FROM " +
                     Quoted(name) + " LEFT JOIN runs USING (run_id)",
                 error);
}

bool SqliteSink::RegisterRun(std::string& error) {
  if (run_.id.empty()) return true;
  // Checked and registered in one transaction, so that two runs of one file cannot both pass.
  if (!Execute("BEGIN IMMEDIATE", error)) return false;
  auto fail = [this] {
    std::string ignored;
    Execute("ROLLBACK", ignored);
    return false;
  };
  Statement find;
  if (sqlite3_prepare_v2(db_,
                         "SELECT runs.run_id, runs.probe FROM run_inputs JOIN runs USING (run_id) "
                         "WHERE fingerprint = ? ORDER BY runs.run_id LIMIT 1",
                         -1, &find.handle, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db_);
    return fail();
  }
  for (const RunInput& input : run_.inputs) {
    if (run_.append || input.fingerprint.empty()) continue;
    sqlite3_reset(find.handle);
    Bind(find.handle, 1, input.fingerprint);
    if (sqlite3_step(find.handle) != SQLITE_ROW) continue;
    auto text = [&find](int column) {
      const unsigned char* value = sqlite3_column_text(find.handle, column);
      return value == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(value));
    };
    error = path_ + " " + AlreadyStoredMessage(input.name, text(0), text(1));
    return fail();
  }
  if (!InsertRun()) {
    error = sqlite3_errmsg(db_);
    return fail();
  }
  return Execute("COMMIT", error) || fail();
}

bool SqliteSink::InsertRun() {
  json names = json::array();
  for (const RunInput& input : run_.inputs) names.push_back(input.name);
  Statement insert_run;
  Statement insert_input;
  bool ok = sqlite3_prepare_v2(db_, "INSERT OR IGNORE INTO runs VALUES (?, ?, ?, NULL, ?)", -1,
                               &insert_run.handle, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db_, "INSERT INTO run_inputs VALUES (?, ?, ?)", -1,
                               &insert_input.handle, nullptr) == SQLITE_OK;
  ok = ok &&
       (Bind(insert_run.handle, 1, run_.id) | Bind(insert_run.handle, 2, run_.probe) |
        Bind(insert_run.handle, 3, run_.started) | Bind(insert_run.handle, 4, names.dump())) ==
           SQLITE_OK &&
       sqlite3_step(insert_run.handle) == SQLITE_DONE;
  // Another sink on the same database may have registered the run already.
  const bool inserted = ok && sqlite3_changes(db_) > 0;
  for (const RunInput& input : run_.inputs) {
    if (!ok || !inserted) break;
    sqlite3_reset(insert_input.handle);
    ok = (Bind(insert_input.handle, 1, run_.id) | Bind(insert_input.handle, 2, input.name) |
          Bind(insert_input.handle, 3,
               input.fingerprint.empty() ? json() : json(input.fingerprint))) == SQLITE_OK &&
         sqlite3_step(insert_input.handle) == SQLITE_DONE;
  }
  return ok;
}

bool SqliteSink::Open(std::string& error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    error = path_ + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "cannot open");
    sqlite3_close(db_);
    db_ = nullptr;
    return false;
  }
  // Another writer (a second sink on the same file) holds the lock only for one payload.
  sqlite3_busy_timeout(db_, 10000);
  // WAL lets readers query while rows arrive; NORMAL synchronisation keeps every committed
  // payload across a crash of the program.
  bool ok =
      Execute("PRAGMA journal_mode=WAL", error) && Execute("PRAGMA synchronous=NORMAL", error);
  for (const char* sql : kRunTables) ok = ok && Execute(sql, error);
  for (uint32_t type = 1; ok && type <= kppRecordTypeCount(); ++type)
    ok = CheckOrCreateTable(static_cast<int>(type), error);
  ok = ok && RegisterRun(error);
  if (!ok) {
    if (error.compare(0, path_.size(), path_) != 0) error = path_ + ": " + error;
    sqlite3_close(db_);
    db_ = nullptr;
  }
  return ok;
}

bool SqliteSink::Insert(const std::string& sink, const std::string& channel, const json& payload,
                        uint32_t record_type, std::string& error) {
  std::vector<TableRow> rows;
  if (!ExtractTableRows(payload, record_type, rows)) {
    error = "not laid out as record rows";
    return false;
  }
  json times[2];
  for (int i = 0; i < 2; ++i) {
    auto it = payload.find(i == 0 ? "log_time_start" : "log_time_end");
    if (it != payload.end()) times[i] = *it;
  }
  std::lock_guard<std::mutex> guard(lock_);
  if (db_ == nullptr) {
    error = "database closed";
    return false;
  }
  if (!Execute("BEGIN IMMEDIATE", error)) return false;
  const RecordTable* prepared_for = nullptr;
  Statement insert;
  bool failed = false;
  // Null in rows of a run without an identity.
  const json id = run_.id.empty() ? json() : json(run_.id);
  const json probe = run_.id.empty() ? json() : json(run_.probe);
  for (const TableRow& row : rows) {
    if (row.table != prepared_for) {
      sqlite3_finalize(insert.handle);
      insert.handle = nullptr;
      std::string sql = "INSERT INTO " + Quoted(row.table->name) + " VALUES (?";
      const size_t columns =
          std::size(kContextColumns) + row.table->columns.size() + std::size(kRunColumns);
      for (size_t i = 1; i < columns; ++i) sql += ",?";
      failed =
          sqlite3_prepare_v2(db_, (sql + ")").c_str(), -1, &insert.handle, nullptr) != SQLITE_OK;
      if (failed) break;
      prepared_for = row.table;
    }
    sqlite3_reset(insert.handle);
    int rc = Bind(insert.handle, 1, sink) | Bind(insert.handle, 2, channel) |
             Bind(insert.handle, 3, times[0]) | Bind(insert.handle, 4, times[1]);
    for (size_t i = 0; i < row.values.size(); ++i)
      rc |= Bind(insert.handle, static_cast<int>(i + 5), row.values[i]);
    const int after = static_cast<int>(row.table->columns.size() + 5);
    rc |= Bind(insert.handle, after, id) | Bind(insert.handle, after + 1, probe);
    failed = rc != SQLITE_OK || sqlite3_step(insert.handle) != SQLITE_DONE;
    if (failed) break;
  }
  if (failed) {
    error = sqlite3_errmsg(db_);
    std::string ignored;
    Execute("ROLLBACK", ignored);
    return false;
  }
  if (!Execute("COMMIT", error)) {
    std::string ignored;
    Execute("ROLLBACK", ignored);
    return false;
  }
  stored_ = true;
  return true;
}

bool SqliteSink::Write(const std::string& sink, const std::string& channel, const json& payload,
                       uint32_t /*flags*/, uint32_t record_type) {
  std::string error;
  try {
    if (Insert(sink, channel, payload, record_type, error)) return true;
  } catch (const std::exception& e) {
    error = e.what();
  }
  // A full disk fails every later payload the same way: the first says why, the rest count.
  if (!failure_reported_.exchange(true))
    Report(
        "sink %s channel %s: payload not written to %s: %s; the run goes on, counting what is "
        "lost",
        Describe(sink).c_str(), Describe(channel).c_str(), path_.c_str(), error.c_str());
  return false;
}

uint64_t SqliteSink::Close() {
  std::lock_guard<std::mutex> guard(lock_);
  if (db_ != nullptr && !run_.id.empty()) {
    // A run that stored nothing leaves no trace, so that it does not stand in the way of the
    // run that replays its inputs again. Another sink on the database may have removed the
    // registration of a run this one stored rows of: it is made again.
    const std::string id = "'" + run_.id + "'";
    std::string ignored;
    if (stored_) {
      if (Execute("BEGIN IMMEDIATE", ignored)) {
        if (InsertRun()) {
          Execute(
              "UPDATE runs SET ended = " + std::to_string(time(nullptr)) + " WHERE run_id = " + id,
              ignored);
        }
        Execute("COMMIT", ignored);
      }
    } else {
      Execute("DELETE FROM run_inputs WHERE run_id = " + id + " AND run_id IN (SELECT run_id " +
                  "FROM runs WHERE ended IS NULL)",
              ignored);
      Execute("DELETE FROM runs WHERE run_id = " + id + " AND ended IS NULL", ignored);
    }
  }
  if (db_ != nullptr) sqlite3_close(db_);
  db_ = nullptr;
  return 0;
}

}  // namespace kdreplay
