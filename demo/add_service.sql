-- Run by scripts/demo.sh while the daemon runs: a new service and its 'ADD' change request, in
-- one statement. The daemon's next reload pass loads it, without a restart. psql variable:
--   nagios_dir  directory of the monitoring plugins

\set ON_ERROR_STOP on

WITH added AS (
  INSERT INTO mavo_services (service_name, service_plugin_id, service_device_id,
                             service_interval_time, service_parameter)
  SELECT 'lab late arrival', plugin_id, device_id, 5000, '0 ''added while the daemon runs'''
    FROM mavo_plugins, mavo_device
   WHERE plugin_path = :'nagios_dir' || '/check_dummy' AND device_name = 'demo-lab'
  RETURNING service_id
)
INSERT INTO mavo_service_pending_execute (pending_service_id, pending_type)
SELECT service_id, 'ADD' FROM added;
