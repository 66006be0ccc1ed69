// SQL texts of the daemon. The texts are the system's own and must stay byte for byte.

#include "db/statements.h"

namespace sql {

const char* const kProbe = "SELECT 1";
const char* const kServerVersion = "SHOW server_version";
const char* const kBegin = "BEGIN";
const char* const kBeginWithXid = "BEGIN; SELECT pg_current_xact_id()";
const char* const kCurrentXactId = "SELECT pg_current_xact_id()";
const char* const kTransactionStatus = "SELECT pg_xact_status($1::xid8)";
const char* const kEndTransactionSession =
    "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE backend_xid = xid($1::xid8)";
const char* const kBeginRepeatableRead = "BEGIN ISOLATION LEVEL REPEATABLE READ";
const char* const kBeginReadOnly = "BEGIN READ ONLY";
const char* const kSavepoint = "SAVEPOINT statement";
const char* const kRollbackToSavepoint = "ROLLBACK TO SAVEPOINT statement";
const char* const kCommit = "COMMIT";
const char* const kRollback = "ROLLBACK";

const char* const kSelectDefaultErrors =
    "SELECT error_id,error_name FROM mavo_errors WHERE error_name='default_critical_error' OR "
    "error_name='default_warning_error' OR error_name='default_unknow_error' OR "
    "error_name='default_maintenance';";
const char* const kSelectDeletedPluginServices =
    "SELECT service_id,plugin_id  FROM mavo_plugins JOIN mavo_services ON plugin_id = "
    "service_plugin_id WHERE plugin_delete=TRUE;";
const char* const kDeleteServiceById = "DELETE FROM mavo_services WHERE service_id=$1::int ;";
const char* const kDeleteDeletedPlugins = "DELETE FROM mavo_plugins WHERE plugin_delete=TRUE ;";
const char* const kResetSysReload =
    "UPDATE mavo_configuration SET config_value=0 WHERE config_key='SYS_RELOAD';";
std::string deleteMarkedServicesQuery(int id_cluster) {
  if (id_cluster <= 0) return "DELETE FROM mavo_services WHERE service_delete=true;";
  return "DELETE FROM mavo_services WHERE service_delete=true AND service_srv_id=" +
         std::to_string(id_cluster) + ";";
}

const char* const kGetPreviousState =
    "SELECT service_previous_state,service_last_stdout FROM mavo_services WHERE "
    "service_id=$1::int ;";
const char* const kUpdateState =
    "UPDATE mavo_services SET service_previous_state=$1::int, "
    "service_last_exec_time=now(),service_last_stdout=$2 WHERE service_id=$3::int;";
const char* const kInsertErrorHappen =
    "INSERT INTO mavo_error_happen(happen_id,happen_error_id, happen_device_id,happen_service_id, "
    "happen_timestamp,happen_message, happen_acquitte, happen_value)VALUES (DEFAULT,$1::int, "
    "$2::int, $3::int,now(),$4::varchar, 0,0) RETURNING happen_id;";
const char* const kAcquitteErrorHappen =
    "UPDATE mavo_error_happen SET happen_acquitte=1, happen_time_acquitte=now() WHERE "
    "happen_service_id=$1::int AND happen_acquitte=0 RETURNING happen_id;";
const char* const kUpdateStateAt =
    "UPDATE mavo_services SET service_previous_state=$1::int, "
    "service_last_exec_time=now() - $4::interval,service_last_stdout=$2 WHERE service_id=$3::int;";
const char* const kInsertErrorHappenAt =
    "INSERT INTO mavo_error_happen(happen_id,happen_error_id, happen_device_id,happen_service_id, "
    "happen_timestamp,happen_message, happen_acquitte, happen_value)VALUES (DEFAULT,$1::int, "
    "$2::int, $3::int,now() - $5::interval,$4::varchar, 0,0) RETURNING happen_id;";
const char* const kAcquitteErrorHappenAt =
    "UPDATE mavo_error_happen SET happen_acquitte=1, happen_time_acquitte=now() - $2::interval "
    "WHERE happen_service_id=$1::int AND happen_acquitte=0 RETURNING happen_id;";
const char* const kCheckErrorHappen =
    "SELECT happen_id,happen_error_id FROM mavo_error_happen WHERE happen_device_id=$1::int AND "
    "happen_service_id=$2::int AND happen_acquitte=0";

const char* const kSelectAdvConfig =
    "SELECT device_config_type_name,adv_plugin_keyword_value"
    " FROM mavo_device_advance_config"
    " JOIN mavo_device_advance_config_type ON adv_config_type_id = device_config_type_id"
    " WHERE adv_device_id=$1::bigint AND adv_plugin_keyword_value IS NOT NULL";

std::string serviceQuery(bool pending_join, const std::string& where,
                         const std::string& extra_columns) {
  std::string q =
      "SELECT plugin_id,service_name, "
      "plugin_path,service_interval_time,service_parameter,device_id,device_ip_address,device_"
      "snmp_version,device_snmp_community,service_id,"
      "program_path,response_unknown,response_warning,response_critical,response_parameter,"
      "device_name,tibo_sn,"
      "device_snmp3_user, device_snmp3_sec_lvl,device_snmp3_auth_protocole, "
      "device_snmp3_auth_key,device_snmp3_priv_protocol, device_snmp3_priv_passphrase,"
      "device_snmp_timer,response_ok,0,0,service_previous_state,service_last_stdout,family("
      "device_ip_address) as ip_version,device_snmp_port" +
      extra_columns +
      " FROM mavo_plugins JOIN mavo_services ON plugin_id = service_plugin_id"
      " JOIN mavo_device ON device_id = service_device_id ";
  if (pending_join) q += " JOIN mavo_service_pending_execute ON service_id = pending_service_id ";
  q += " LEFT JOIN mavo_service_response_program ON service_id = response_service_id "
       " LEFT JOIN mavo_program ON response_program_id = program_id"
       " LEFT JOIN tibo_connected ON device_id = connected_device_id"
       " LEFT JOIN tibo_info ON connected_tibo_id = tibo_device_id";
  return q + where;
}

const char* const kServiceColumnNames[service_column::kCount] = {
    "plugin_id",
    "service_name",
    "plugin_path",
    "service_interval_time",
    "service_parameter",
    "device_id",
    "device_ip_address",
    "device_snmp_version",
    "device_snmp_community",
    "service_id",
    "program_path",
    "response_unknown",
    "response_warning",
    "response_critical",
    "response_parameter",
    "device_name",
    "tibo_sn",
    "device_snmp3_user",
    "device_snmp3_sec_lvl",
    "device_snmp3_auth_protocole",
    "device_snmp3_auth_key",
    "device_snmp3_priv_protocol",
    "device_snmp3_priv_passphrase",
    "device_snmp_timer",
    "response_ok",
    "?column?",
    "?column?",
    "service_previous_state",
    "service_last_stdout",
    "ip_version",
    "device_snmp_port",
};

std::string reloadServiceQuery(int id_cluster) {
  std::string where = " WHERE plugin_type='default'";
  if (id_cluster > 0) where += " AND service_srv_id=" + std::to_string(id_cluster);
  return serviceQuery(false, where + ";");
}

namespace {
std::string pendingQuery(const char* type, int id_cluster) {
  std::string where = std::string(" WHERE plugin_type='default' AND pending_type='") + type + "'";
  if (id_cluster > 0) where += " AND service_srv_id=" + std::to_string(id_cluster);
  return serviceQuery(true, where + ";");
}
}  // namespace

std::string getNewServiceQuery(int id_cluster) { return pendingQuery("ADD", id_cluster); }
std::string updateServiceQuery(int id_cluster) { return pendingQuery("UPDATE", id_cluster); }

const char* const kAcquitteFantom =
    "UPDATE mavo_error_happen SET happen_acquitte=1, happen_time_acquitte=NOW() WHERE "
    "happen_acquitte=0 AND happen_time_acquitte IS NULL  AND happen_service_id IN ( SELECT "
    "service_id FROM mavo_services WHERE service_previous_state=0);";
const char* const kDelService = "DELETE FROM mavo_services WHERE service_id=$1::bigint;";

std::string purgePendingQuery(int id_cluster) {
  std::string q = "DELETE FROM mavo_service_pending_execute";
  if (id_cluster > 0)
    q +=
        " WHERE pending_service_id IN (SELECT service_id FROM mavo_services WHERE service_srv_id=" +
        std::to_string(id_cluster) + ");";
  return q;
}

namespace {
std::string pendingRows(const char* columns, int id_cluster) {
  std::string q = std::string("SELECT ") + columns + " FROM mavo_service_pending_execute";
  if (id_cluster > 0)
    q += " WHERE pending_service_id IN (SELECT service_id FROM mavo_services WHERE "
         "service_srv_id=" +
         std::to_string(id_cluster) + ")";
  return q;
}
}  // namespace

std::string lockPendingQuery(int id_cluster) {
  return pendingRows("ctid, pending_service_id, pending_type", id_cluster) +
         " FOR UPDATE SKIP LOCKED;";
}

std::string pendingRequestsQuery(int id_cluster) {
  return pendingRows("pending_service_id, pending_type", id_cluster) + ";";
}

const char* const kDeleteHeldPending =
    "DELETE FROM mavo_service_pending_execute WHERE ctid = ANY($1::tid[]);";

std::string checkDeleteServiceQuery(int id_cluster) {
  std::string q = "SELECT service_id FROM mavo_services WHERE service_delete=TRUE";
  if (id_cluster > 0) q += " AND service_srv_id=" + std::to_string(id_cluster) + ";";
  return q;
}

// Planned times are wall-clock times of the server's time zone (timestamp without time zone,
// compared with now() there); the cast makes their epoch the instant they name, as time() gives
// it to the workers, whatever the server's TimeZone setting. With UTC it changes nothing.
const char* const kMaintenancePlanned =
    "SELECT planned_id, planned_type, cast(extract(epoch from planned_start::timestamptz) as "
    "bigint) AS start, cast(extract(epoch from planned_end::timestamptz) as bigint) AS end, "
    "planned_during,planned_service_id"
    " FROM mavo_maintenance_planned JOIN mavo_services ON service_id=planned_service_id"
    "  WHERE planned_start < (NOW()+ '10 min') AND planned_end > NOW() AND service_delete=false;";
const char* const kPlannedColumnNames[planned_column::kCount] = {
    "planned_id", "planned_type", "start", "end", "planned_during", "planned_service_id"};
const char* const kMaintenanceDelete =
    "DELETE FROM mavo_maintenance_planned WHERE planned_end < NOW() - '30 min'::interval;";

const char* const kUpdateMaintenanceConf =
    "UPDATE mavo_maintenance_configuration SET "
    "maintenance_conf_start_date=maintenance_conf_start_date+maintenance_conf_recurring WHERE "
    "maintenance_conf_id=$1::int";
const char* const kUpdateMaintenanceConfByDayOfMonth =
    "SELECT updateNextMaintenanceNextMonth($1::int);";

std::string selectMaintenanceConfQuery(int id_cluster) {
  std::string q =
      "SELECT maintenance_conf_id, maintenance_conf_type, "
      "to_char(maintenance_conf_start_date,'YYYY-MM-DD HH24:MI:SS') as start, "
      "maintenance_conf_service_id, "
      "maintenance_conf_during,maintenance_conf_recurring,maintenance_conf_during_firsterror,"
      "maintenance_week_selected,maintenance_day_selected"
      " FROM mavo_maintenance_configuration"
      " JOIN mavo_services ON service_id=maintenance_conf_service_id"
      " WHERE maintenance_conf_start_date < (NOW()+'60 min')";
  if (id_cluster > 0) q += " AND service_srv_id=" + std::to_string(id_cluster) + ";";
  return q;
}

const char* const kConfColumnNames[conf_column::kCount] = {"maintenance_conf_id",
                                                           "maintenance_conf_type",
                                                           "start",
                                                           "maintenance_conf_service_id",
                                                           "maintenance_conf_during",
                                                           "maintenance_conf_recurring",
                                                           "maintenance_conf_during_firsterror",
                                                           "maintenance_week_selected",
                                                           "maintenance_day_selected"};

// The values come from the database: they travel as parameters so that a quote in one of them
// can neither break nor alter the statement.
const char* const kInsertMaintenancePlanned =
    "INSERT INTO mavo_maintenance_planned(planned_id, planned_type, planned_start, planned_end, "
    "planned_during, planned_service_id)VALUES (DEFAULT,$1::text,$2::timestamp,$2::timestamp + "
    "$3::interval,(SELECT EXTRACT(epoch FROM $4::interval)/60),$5::int);";

const char* const kLockMaintenanceConf =
    "SELECT maintenance_conf_id FROM mavo_maintenance_configuration WHERE "
    "maintenance_conf_id=$1::int AND "
    "to_char(maintenance_conf_start_date,'YYYY-MM-DD HH24:MI:SS')=$2::text FOR UPDATE SKIP "
    "LOCKED";
const char* const kMaintenanceConfStill =
    "SELECT maintenance_conf_id FROM mavo_maintenance_configuration WHERE "
    "maintenance_conf_id=$1::int AND "
    "to_char(maintenance_conf_start_date,'YYYY-MM-DD HH24:MI:SS')=$2::text";

namespace cluster {

const char* const kMissingTables =
    "SELECT concat_ws(', ', CASE WHEN to_regclass('mavo_cluster_member') IS NULL THEN "
    "'mavo_cluster_member' END, CASE WHEN to_regclass('mavo_cluster_bucket') IS NULL THEN "
    "'mavo_cluster_bucket' END)";
const char* const kCreateBuckets =
    "INSERT INTO mavo_cluster_bucket (bucket_cluster, bucket_id) SELECT $1::int, g FROM "
    "generate_series(0, 1023) g ON CONFLICT DO NOTHING";
const char* const kForgetOldMembers =
    "DELETE FROM mavo_cluster_member m WHERE member_cluster=$1::int AND member_expires < now() - "
    "interval '1 day' AND NOT EXISTS (SELECT 1 FROM mavo_cluster_bucket b WHERE "
    "b.bucket_cluster=$1::int AND b.bucket_owner = m.member_node)";
const char* const kJoin =
    "INSERT INTO mavo_cluster_member (member_cluster, member_node, member_expires, "
    "member_joined) VALUES ($1::int, $2::text, now() + $3::int * interval '1 second', now()) "
    "ON CONFLICT (member_cluster, member_node) DO UPDATE SET member_expires = "
    "EXCLUDED.member_expires, member_joined = now() WHERE mavo_cluster_member.member_expires <= "
    "now() RETURNING 1";
const char* const kLeaseLeft =
    "SELECT ceil(extract(epoch FROM member_expires - now())) FROM mavo_cluster_member WHERE "
    "member_cluster=$1::int AND member_node=$2::text";
const char* const kRenew =
    "UPDATE mavo_cluster_member SET member_expires = now() + $3::int * interval '1 second' WHERE "
    "member_cluster=$1::int AND member_node=$2::text AND member_expires > now() RETURNING 1";
const char* const kMembers =
    "SELECT member_node, member_expires > now(), member_joined <= now() - $2::int * interval '1 "
    "millisecond', (extract(epoch FROM member_expires - now()) * 1000)::bigint FROM "
    "mavo_cluster_member WHERE member_cluster=$1::int";
const char* const kBuckets =
    "SELECT bucket_id, coalesce(bucket_owner, ''), bucket_epoch, (SELECT member_fence FROM "
    "mavo_cluster_member WHERE member_cluster=$1::int AND member_node=$2::text) FROM "
    "mavo_cluster_bucket WHERE bucket_cluster=$1::int";
const char* const kClaim =
    "WITH c AS (SELECT bucket_id, bucket_owner, w.owner_key FROM mavo_cluster_bucket JOIN "
    "unnest($3::int[], $4::bigint[], $5::bigint[]) AS w(id, epoch, owner_key) ON bucket_id = "
    "w.id AND bucket_epoch = w.epoch WHERE bucket_cluster=$1::int FOR UPDATE OF "
    "mavo_cluster_bucket SKIP LOCKED), taken AS (UPDATE mavo_cluster_bucket b SET "
    "bucket_owner=$2::text, bucket_epoch = b.bucket_epoch + 1 FROM c WHERE "
    "b.bucket_cluster=$1::int AND b.bucket_id = c.bucket_id AND (c.owner_key = 0 OR "
    "pg_try_advisory_xact_lock(c.owner_key)) RETURNING b.bucket_id, b.bucket_epoch, "
    "c.bucket_owner AS previous), fenced AS (UPDATE mavo_cluster_member m SET member_fence = "
    "member_fence + 1 WHERE m.member_cluster=$1::int AND m.member_node IN (SELECT previous FROM "
    "taken) RETURNING m.member_node, m.member_fence) SELECT t.bucket_id, t.bucket_epoch, (SELECT "
    "member_fence FROM fenced WHERE member_node=$2::text) FROM taken t";
const char* const kRelease =
    "UPDATE mavo_cluster_bucket SET bucket_owner=NULL, bucket_epoch = bucket_epoch + 1 WHERE "
    "bucket_cluster=$1::int AND bucket_owner=$2::text AND bucket_id = ANY($3::int[]) RETURNING "
    "bucket_id";
const char* const kLeave =
    "WITH freed AS (UPDATE mavo_cluster_bucket SET bucket_owner=NULL, bucket_epoch = "
    "bucket_epoch + 1 WHERE bucket_cluster=$1::int AND bucket_owner=$2::text RETURNING 1) DELETE "
    "FROM mavo_cluster_member WHERE member_cluster=$1::int AND member_node=$2::text RETURNING "
    "(SELECT count(*) FROM freed)";
const char* const kFence =
    "SELECT 1 FROM mavo_cluster_bucket WHERE bucket_cluster=$1::int AND bucket_id=$2::int AND "
    "bucket_owner=$3::text AND bucket_epoch=$4::bigint";
std::string beginHolding(int64_t lock_key, const char* begin) {
  const std::string b = begin;
  return "BEGIN; SELECT pg_advisory_xact_lock_shared(" + std::to_string(lock_key) + ")" +
         b.substr(std::string("BEGIN").size());
}
std::string batchBeginFenced(int64_t lock_key, int cluster, const std::string& node) {
  // The node's name as an escape string literal, whatever standard_conforming_strings says.
  std::string literal = "E'";
  for (char ch : node) {
    if (ch == '\\' || ch == '\'') literal += ch;
    literal += ch;
  }
  literal += "'";
  return beginHolding(lock_key, kBeginBatch) +
         ", (SELECT member_fence FROM mavo_cluster_member WHERE member_cluster=" +
         std::to_string(cluster) + " AND member_node=" + literal + ")";
}
const char* const kUpdateStateFenced =
    "UPDATE mavo_services SET service_previous_state=$1::int, service_last_exec_time=now() - "
    "$4::interval,service_last_stdout=$2 WHERE service_id=$3::int AND EXISTS (SELECT 1 FROM "
    "mavo_cluster_bucket WHERE bucket_cluster=$5::int AND bucket_id=$6::int AND "
    "bucket_owner=$7::text AND bucket_epoch=$8::bigint) RETURNING 1";

namespace {
const char kOwned[] = " AND service_id % 1024 = ANY($1::int[])";
std::string daemonCondition(int id_cluster) {
  return id_cluster > 0 ? " AND service_srv_id=" + std::to_string(id_cluster) : "";
}
std::string pendingOf(const char* type, int id_cluster) {
  return serviceQuery(true, std::string(" WHERE plugin_type='default' AND pending_type='") + type +
                                "'" + daemonCondition(id_cluster) + kOwned + ";");
}
std::string pendingRows(const char* columns, int id_cluster) {
  return std::string("SELECT ") + columns +
         " FROM mavo_service_pending_execute WHERE pending_service_id IN (SELECT service_id FROM "
         "mavo_services WHERE true" +
         daemonCondition(id_cluster) + kOwned + ")";
}
}  // namespace

std::string bucketServicesQuery(int id_cluster) {
  return serviceQuery(false,
                      " WHERE plugin_type='default'" + daemonCondition(id_cluster) +
                          " AND service_delete IS NOT TRUE" + kOwned + ";",
                      ",(extract(epoch FROM service_last_exec_time + service_interval_time * "
                      "interval '1 millisecond' - now()) * 1000)::bigint");
}
std::string getNewServiceQuery(int id_cluster) { return pendingOf("ADD", id_cluster); }
std::string updateServiceQuery(int id_cluster) { return pendingOf("UPDATE", id_cluster); }
std::string checkDeleteServiceQuery(int id_cluster) {
  return "SELECT service_id FROM mavo_services WHERE service_delete=TRUE" +
         daemonCondition(id_cluster) + kOwned;
}
std::string lockPendingQuery(int id_cluster) {
  return pendingRows("ctid, pending_service_id, pending_type", id_cluster) +
         " FOR UPDATE SKIP LOCKED;";
}
std::string pendingRequestsQuery(int id_cluster) {
  return pendingRows("pending_service_id, pending_type", id_cluster) + ";";
}
std::string selectMaintenanceConfQuery(int id_cluster) {
  std::string q = sql::selectMaintenanceConfQuery(id_cluster);
  if (!q.empty() && q.back() == ';') q.pop_back();
  return q + " AND maintenance_conf_service_id % 1024 = ANY($1::int[])";
}

}  // namespace cluster

const char* const kBeginBatch =
    "BEGIN; SET LOCAL lock_timeout = '100ms'; SELECT pg_current_xact_id()";
const char* const kBatchLock =
    "SELECT service_id FROM mavo_services WHERE service_id = ANY($1::int[]) FOR UPDATE SKIP "
    "LOCKED";
const char* const kBatchUpdateState =
    "UPDATE mavo_services s SET service_previous_state = u.state, service_last_exec_time = now() "
    "- u.age, service_last_stdout = u.output FROM unnest($1::int[], $2::int[], $3::text[], "
    "$4::interval[]) AS u(id, state, output, age) WHERE s.service_id = u.id RETURNING "
    "s.service_id";
const char* const kBatchAcquitte =
    "UPDATE mavo_error_happen h SET happen_acquitte = 1, happen_time_acquitte = now() - a.age "
    "FROM unnest($1::int[], $2::interval[]) AS a(id, age) WHERE h.happen_service_id = a.id AND "
    "h.happen_acquitte = 0 RETURNING h.happen_service_id, h.happen_id";
const char* const kBatchInsertErrorHappen =
    "INSERT INTO mavo_error_happen (happen_error_id, happen_device_id, happen_service_id, "
    "happen_timestamp, happen_message, happen_acquitte, happen_value) SELECT i.error_id, "
    "i.device_id, i.service_id, now() - i.age, i.message, 0, 0 FROM unnest($1::int[], $2::int[], "
    "$3::int[], $4::interval[], $5::varchar[]) AS i(error_id, device_id, service_id, age, "
    "message) RETURNING happen_service_id, happen_id";

std::vector<NamedStatement> coreStatements() {
  return {{"GetPreviousState", kGetPreviousState, 1},
          {"UpdateState", kUpdateState, 3},
          {"InsertErrorHappen", kInsertErrorHappen, 4},
          {"AcquitteErrorHappen", kAcquitteErrorHappen, 1},
          {"CheckErrorHappen", kCheckErrorHappen, 2},
          {"UpdateStateAt", kUpdateStateAt, 4},
          {"InsertErrorHappenAt", kInsertErrorHappenAt, 5},
          {"AcquitteErrorHappenAt", kAcquitteErrorHappenAt, 2},
          {"BatchLock", kBatchLock, 1},
          {"BatchUpdateState", kBatchUpdateState, 4},
          {"BatchAcquitte", kBatchAcquitte, 2},
          {"BatchInsertErrorHappen", kBatchInsertErrorHappen, 5}};
}

std::vector<NamedStatement> clusterCoreStatements() {
  return {{"ClusterFence", cluster::kFence, 4},
          {"UpdateStateFenced", cluster::kUpdateStateFenced, 8}};
}

std::vector<NamedStatement> reloadStatements(int id_cluster) {
  return {{"acquitte_fantom", kAcquitteFantom, -1},
          {"getNewService", getNewServiceQuery(id_cluster), -1},
          {"updateService", updateServiceQuery(id_cluster), -1},
          {"del_service", kDelService, 1},
          {"purge_pending", purgePendingQuery(id_cluster), -1},
          {"updateMaintenanceConf", kUpdateMaintenanceConf, 1},
          {"updateMaintenanceConfByDayOfMonth", kUpdateMaintenanceConfByDayOfMonth, 1},
          {"checkDeleteService", checkDeleteServiceQuery(id_cluster), -1},
          {"maintenance_planned", kMaintenancePlanned, -1},
          {"maintenance_delete", kMaintenanceDelete, -1}};
}

std::vector<NamedStatement> mainStatements(int id_cluster) {
  return {{"reloadService", reloadServiceQuery(id_cluster), -1},
          {"select_adv_config", kSelectAdvConfig, 1}};
}

std::vector<NamedStatement> everyNamedStatement(int id_cluster) {
  std::vector<NamedStatement> all = coreStatements();
  for (auto* more : {mainStatements, reloadStatements})
    for (NamedStatement& st : more(id_cluster)) all.push_back(std::move(st));
  return all;
}

std::vector<std::string> everyPlainStatement(int id_cluster) {
  return {kProbe,
          kCurrentXactId,
          kTransactionStatus,
          kEndTransactionSession,
          kSelectDefaultErrors,
          kSelectDeletedPluginServices,
          kDeleteServiceById,
          kDeleteDeletedPlugins,
          kResetSysReload,
          deleteMarkedServicesQuery(id_cluster),
          lockPendingQuery(id_cluster),
          pendingRequestsQuery(id_cluster),
          kDeleteHeldPending,
          selectMaintenanceConfQuery(id_cluster),
          kInsertMaintenancePlanned,
          kLockMaintenanceConf,
          kMaintenanceConfStill};
}

std::vector<NamedStatement> everyClusterNamedStatement(int id_cluster) {
  std::vector<NamedStatement> all = clusterCoreStatements();
  all.push_back({"bucketServices", cluster::bucketServicesQuery(id_cluster), 1});
  // The reload thread's, narrowed to the owned buckets, under names of their own here.
  all.push_back({"getNewServiceShared", cluster::getNewServiceQuery(id_cluster), -1});
  all.push_back({"updateServiceShared", cluster::updateServiceQuery(id_cluster), -1});
  all.push_back({"checkDeleteServiceShared", cluster::checkDeleteServiceQuery(id_cluster), -1});
  return all;
}

std::vector<std::string> everyClusterPlainStatement(int id_cluster) {
  return {cluster::kMissingTables,
          cluster::kCreateBuckets,
          cluster::kForgetOldMembers,
          cluster::kJoin,
          cluster::kLeaseLeft,
          cluster::kRenew,
          cluster::kMembers,
          cluster::kBuckets,
          cluster::kClaim,
          cluster::kRelease,
          cluster::kLeave,
          cluster::lockPendingQuery(id_cluster),
          cluster::pendingRequestsQuery(id_cluster),
          cluster::selectMaintenanceConfQuery(id_cluster)};
}

}  // namespace sql
