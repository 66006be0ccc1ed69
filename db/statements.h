#pragma once
// The one catalogue of SQL texts the daemon runs, with the names of its prepared statements.
// Texts that depend on the daemon identifier are built by functions taking it.

#include <cstdint>
#include <string>
#include <vector>

namespace sql {

// Whether a database answers at all.
extern const char* const kProbe;
// The server's version (the configuration check shows it).
extern const char* const kServerVersion;

// Transactions.
extern const char* const kBegin;
// BEGIN, and the id of the new transaction, by which an unanswered COMMIT is looked up later:
// kBegin and kCurrentXactId, in one request.
extern const char* const kBeginWithXid;
extern const char* const kCurrentXactId;
// What became of a transaction (one parameter, its id): committed, aborted or in progress.
extern const char* const kTransactionStatus;
// Ends the session that holds that transaction open (one parameter, its id).
extern const char* const kEndTransactionSession;
extern const char* const kBeginRepeatableRead;
// A transaction that writes nothing (the configuration check runs its statements in one).
extern const char* const kBeginReadOnly;
// A savepoint, to go on with a transaction after one of its statements failed.
extern const char* const kSavepoint;
extern const char* const kRollbackToSavepoint;
extern const char* const kCommit;
extern const char* const kRollback;

// Start-up.
extern const char* const kSelectDefaultErrors;
extern const char* const kSelectDeletedPluginServices;
extern const char* const kDeleteServiceById;
extern const char* const kDeleteDeletedPlugins;
extern const char* const kResetSysReload;
// The services marked for deletion: this daemon's own when id_cluster is above 0, else all.
std::string deleteMarkedServicesQuery(int id_cluster);

// The writes of many runs in one transaction, set-based (prepared on each core's pool). Arrays
// travel as text ("{1,2}"); ages as intervals ("0" for a run written at once).
// BEGIN with a short lock_timeout (a row another session holds makes the batch try again
// without it rather than wait), and the transaction's id.
extern const char* const kBeginBatch;
// The rows of $1 (int[]) that no other session holds, locked.
extern const char* const kBatchLock;
// State updates: ids, states, outputs, ages; returns the ids stored.
extern const char* const kBatchUpdateState;
// Acknowledgements of every open incident of each service: ids, ages; returns service id and
// incident id of each one acknowledged.
extern const char* const kBatchAcquitte;
// New incidents: error ids, device ids, service ids, ages, messages; returns service id and
// incident id of each.
extern const char* const kBatchInsertErrorHappen;

// Statements prepared on each core's pool, in the order they are prepared.
extern const char* const kGetPreviousState;
extern const char* const kUpdateState;
extern const char* const kInsertErrorHappen;
extern const char* const kAcquitteErrorHappen;
extern const char* const kCheckErrorHappen;
// The three writes of a run, for a run written late (kept while the database could not take
// it): the time they store is the run's own, now() less the run's age (the last parameter, an
// interval), so that no clock of this host is compared with the server's.
extern const char* const kUpdateStateAt;
extern const char* const kInsertErrorHappenAt;
extern const char* const kAcquitteErrorHappenAt;

// Keyword query of the advanced device configuration (prepared on pgSQL, one parameter).
extern const char* const kSelectAdvConfig;

// The 31-column service query. pending_join adds the change-request join; where is appended;
// extra_columns (", expression, ...") come after the 31.
std::string serviceQuery(bool pending_join, const std::string& where,
                         const std::string& extra_columns = "");
// Its columns, by position, and the names the server gives them (every reader of the query
// uses these; a test checks the names against the server's description of the query).
namespace service_column {
enum : int {
  kPluginId,
  kServiceName,
  kPluginPath,
  kInterval,
  kParameter,
  kDeviceId,
  kDeviceIp,
  kSnmpVersion,
  kSnmpCommunity,
  kServiceId,
  kProgramPath,
  kResponseUnknown,
  kResponseWarning,
  kResponseCritical,
  kResponseParameter,
  kDeviceName,
  kTiboSn,
  kSnmp3User,
  kSnmp3SecLvl,
  kSnmp3AuthProtocol,
  kSnmp3AuthKey,
  kSnmp3PrivProtocol,
  kSnmp3PrivPassphrase,
  kSnmpTimer,
  kResponseOk,
  kUnused1,  // constant 0
  kUnused2,  // constant 0
  kPreviousState,
  kLastStdout,
  kIpVersion,
  kSnmpPort,
  kCount
};
}  // namespace service_column
extern const char* const kServiceColumnNames[service_column::kCount];
std::string reloadServiceQuery(int id_cluster);  // "reloadService"
std::string getNewServiceQuery(int id_cluster);  // "getNewService"
std::string updateServiceQuery(int id_cluster);  // "updateService"

// Reload thread.
extern const char* const kAcquitteFantom;
extern const char* const kDelService;
std::string purgePendingQuery(int id_cluster);
// Locks the change requests that "purge_pending" deletes (the same rows, for the same daemon),
// passing over those another session holds: their row id, service id and type.
std::string lockPendingQuery(int id_cluster);
// The same requests without a lock: service id and type.
std::string pendingRequestsQuery(int id_cluster);
// Deletes the requests of the given row ids (a text array of tids, one parameter).
extern const char* const kDeleteHeldPending;
std::string checkDeleteServiceQuery(int id_cluster);
extern const char* const kMaintenancePlanned;
// Columns of "maintenance_planned", by position, and their names.
namespace planned_column {
enum : int { kPlannedId, kType, kStart, kEnd, kDuring, kServiceId, kCount };
}  // namespace planned_column
extern const char* const kPlannedColumnNames[planned_column::kCount];
extern const char* const kMaintenanceDelete;

// Maintenance planner.
extern const char* const kUpdateMaintenanceConf;
extern const char* const kUpdateMaintenanceConfByDayOfMonth;
std::string selectMaintenanceConfQuery(int id_cluster);
// Its columns, by position, and their names.
namespace conf_column {
enum : int {
  kConfId,
  kType,
  kStart,
  kServiceId,
  kDuring,
  kRecurring,
  kDuringFirstError,
  kWeekSelected,
  kDaySelected,
  kCount
};
}  // namespace conf_column
extern const char* const kConfColumnNames[conf_column::kCount];
// Insertion of one planned window: parameters are type, start, duration, minutes interval
// and service id, all as text and cast in the SQL.
extern const char* const kInsertMaintenancePlanned;
// Locks a configuration whose start date still has the text the planner read (parameters:
// configuration id, start text); no row when another has moved it since, or when another
// session holds it locked (it is not waited for).
extern const char* const kLockMaintenanceConf;
// The same configuration without a lock: whether it still has that start date.
extern const char* const kMaintenanceConfStill;

// Several daemons of one identifier (sql/cluster.sql). A service belongs to bucket
// service_id % 1024; owned buckets travel as an int[] parameter.
namespace cluster {
// Whether the tables exist: one row, the names of those missing ("" when none is).
extern const char* const kMissingTables;
// Creates the identifier's buckets, free, unless they exist ($1 identifier).
extern const char* const kCreateBuckets;
// Forgets members whose lease ended a day ago and that own no bucket ($1 identifier).
extern const char* const kForgetOldMembers;
// Joins: a new member, or one whose lease has ended ($1 identifier, $2 node, $3 lease seconds);
// no row when a member of that name still holds its lease.
extern const char* const kJoin;
// The seconds left of the lease of the member of that name ($1, $2).
extern const char* const kLeaseLeft;
// Renews a lease not ended yet ($1, $2, $3 lease seconds); no row once it has.
extern const char* const kRenew;
// Members ($1 identifier, $2 seconds a member must have been in to count for buckets): node,
// live (lease not ended), settled, milliseconds from now to the end of its lease.
extern const char* const kMembers;
// Every bucket ($1): id, owner ("" when free), epoch, and the fence of member $2 (NULL when it
// is not in), all read at one instant.
extern const char* const kBuckets;
// Takes for node $2 the buckets $3 (int[]) that are still at the epochs $4 (bigint[]) it read:
// id and new epoch of each one taken. A bucket changed since it was read is not taken, nor one
// another session holds, nor one whose owner's lock ($5, bigint[]: its owner's member lock key,
// 0 when free) cannot be had at once: a write of that owner is under way. The fence of each
// previous owner moves on (so that no write of a batch of theirs made before is taken); the
// third column is node $2's own new fence when its buckets (of an earlier life) were among
// them, else NULL.
extern const char* const kClaim;
// Frees buckets $3 (int[]) of node $2.
extern const char* const kRelease;
// Frees every bucket of node $2 and ends its membership.
extern const char* const kLeave;
// A row when bucket $2 of identifier $1 is node $3's at epoch $4. Read after the member lock is
// held (beginHolding).
extern const char* const kFence;
// begin ("BEGIN; ...") with the writer's member lock (memberLockKey) taken shared first, in a
// statement of its own, so that the statements after it see any takeover that waited for it.
std::string beginHolding(int64_t lock_key, const char* begin);
// The begin of a batch of fresh writes (kBeginBatch, whose last statement is a SELECT) with the
// writer's member lock held, and beside the transaction's id, in the same round trip, the fence
// of node (identifier cluster) now: NULL when it is not a member. The batch stores only the
// writes made under that fence: no other member has taken any bucket of the writer's since
// they were made, and none can before the transaction ends. (Buckets the writer hands over
// itself are freed only once their writes are stored.)
std::string batchBeginFenced(int64_t lock_key, int cluster, const std::string& node);
// A plain state update that touches nothing unless the bucket is still the writer's at that
// epoch: $1..$4 as "UpdateStateAt", $5 identifier, $6 bucket, $7 node, $8 epoch. A row when it
// was stored.
extern const char* const kUpdateStateFenced;
// The services of buckets $1 (int[]) not marked for deletion, in the service query's columns,
// then the milliseconds from now to one interval after their last run (NULL: never ran).
std::string bucketServicesQuery(int id_cluster);
// Column of that wait, after the service query's.
constexpr int kWaitColumn = 31;
// The reload cycle's texts, narrowed to the buckets $1 (int[]) this daemon owns.
std::string getNewServiceQuery(int id_cluster);
std::string updateServiceQuery(int id_cluster);
std::string checkDeleteServiceQuery(int id_cluster);
std::string lockPendingQuery(int id_cluster);
std::string pendingRequestsQuery(int id_cluster);
std::string selectMaintenanceConfQuery(int id_cluster);
}  // namespace cluster

// One named statement: name, text and declared parameter count (-1: let the server infer).
struct NamedStatement {
  std::string name;
  std::string text;
  int nparams;
};
std::vector<NamedStatement> coreStatements();
// Prepared on each core's pool besides those, when several daemons share the identifier.
std::vector<NamedStatement> clusterCoreStatements();
std::vector<NamedStatement> reloadStatements(int id_cluster);
// Prepared on the main pool at start: the service query ("reloadService") and the keyword
// query ("select_adv_config").
std::vector<NamedStatement> mainStatements(int id_cluster);
// Every named statement the daemon prepares, on every pool: each core's, the main pool's at
// start and the reload thread's. Their names are unique.
std::vector<NamedStatement> everyNamedStatement(int id_cluster);
// Every text the daemon runs without preparing it, each a single statement the server can
// prepare (transaction control left out): start-up's, the reload thread's and the planner's,
// the pool's probe, and the look-ups of a transaction whose COMMIT went unanswered.
std::vector<std::string> everyPlainStatement(int id_cluster);
// The same, for several daemons sharing the identifier (the tables of sql/cluster.sql): the
// statements prepared on top of those above (named), and the texts run as they are.
std::vector<NamedStatement> everyClusterNamedStatement(int id_cluster);
std::vector<std::string> everyClusterPlainStatement(int id_cluster);

}  // namespace sql
