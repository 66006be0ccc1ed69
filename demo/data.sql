-- Demo data set: some twenty services on four devices that check this machine, loaded by
-- scripts/demo.sh into a fresh database made from the reference schema. psql variables:
--   demo_dir          absolute path of demo/ (own plugins and the alerting program)
--   nagios_dir        directory of the monitoring plugins (/usr/lib/nagios/plugins)
--   run_dir           absolute path of the demo's run directory (state files, alert file)
--   pg_port           TCP port of the demo's database cluster on 127.0.0.1
--   pg_db             name of the demo database
--   have_check_pgsql  true when nagios_dir holds check_pgsql
-- Intervals are in milliseconds. Maintenance start dates are relative to the time of loading.

\set ON_ERROR_STOP on

-- Maintenance windows are compared with the daemon's clock through epoch seconds of timestamps
-- without time zone, so the demo database keeps its timestamps in UTC.
SET timezone = 'UTC';
SELECT format('ALTER DATABASE %I SET timezone TO %L', current_database(), 'UTC') \gexec

-- Runs recorded per service: every stored result sets service_last_exec_time, and this counter
-- of the demo (not part of the monitoring schema) counts those updates.
CREATE TABLE demo_service_runs (
  service_id integer PRIMARY KEY,
  runs       integer NOT NULL,
  first_run  timestamp NOT NULL,
  last_run   timestamp NOT NULL
);

CREATE FUNCTION demo_count_run() RETURNS trigger AS $$
BEGIN
  IF NEW.service_last_exec_time IS DISTINCT FROM OLD.service_last_exec_time THEN
    INSERT INTO demo_service_runs AS r (service_id, runs, first_run, last_run)
    VALUES (NEW.service_id, 1, NEW.service_last_exec_time, NEW.service_last_exec_time)
    ON CONFLICT (service_id) DO UPDATE SET runs = r.runs + 1, last_run = EXCLUDED.last_run;
  END IF;
  RETURN NEW;
END;
$$ LANGUAGE plpgsql;

CREATE TRIGGER demo_count_run AFTER UPDATE ON mavo_services
  FOR EACH ROW EXECUTE FUNCTION demo_count_run();

-- Devices. All addresses are on the loopback network: nothing leaves this machine.
INSERT INTO mavo_device (device_id, device_name, device_ip_address) VALUES
  (1, 'demo-host', '127.0.0.1'),
  (2, 'demo-database', '127.0.0.1'),
  (3, 'demo-lab', '127.0.0.3');
INSERT INTO mavo_device (device_id, device_name, device_ip_address, device_snmp_version,
                         device_snmp_community, device_snmp_port, device_snmp_timer) VALUES
  (4, 'demo-switch', '127.0.0.2', '2', 'public', '161', '5');

-- Plugins: Debian's monitoring plugins and two of the demo's own.
INSERT INTO mavo_plugins (plugin_id, plugin_path) VALUES
  (1, :'nagios_dir' || '/check_tcp'),
  (2, :'nagios_dir' || '/check_disk'),
  (3, :'nagios_dir' || '/check_load'),
  (4, :'nagios_dir' || '/check_procs'),
  (5, :'nagios_dir' || '/check_users'),
  (6, :'nagios_dir' || '/check_dummy'),
  (7, :'nagios_dir' || '/check_file_age'),
  (8, :'demo_dir' || '/plugins/flip.sh'),
  (9, :'demo_dir' || '/plugins/print_args.sh');

INSERT INTO mavo_services (service_id, service_name, service_plugin_id, service_device_id,
                           service_interval_time, service_parameter) VALUES
  -- this machine
  (1, 'host disk /', 2, 1, 10000, '-w 10% -c 5% -p /'),
  (2, 'host load', 3, 1, 7000, '-r -w 4,3,2 -c 8,6,4'),
  (3, 'host processes', 4, 1, 8000, '-w 400 -c 800'),
  (4, 'host zombie processes', 4, 1, 10000, '-s Z -w 5 -c 10'),
  (5, 'host users', 5, 1, 10000, '-w 20 -c 50'),
  (6, 'host discard port (closed)', 1, 1, 9000, '-H $IP -p 9'),
  (7, 'daemon status file is fresh', 7, 1, 5000,
      '-w 5 -c 15 -f ''' || :'run_dir' || '/status.txt'''),
  -- the demo's own database cluster
  (8, 'database port', 1, 2, 5000, '-H $IP -p ' || :'pg_port'),
  (9, 'database processes', 4, 2, 8000, '-C postgres -c 1:'),
  -- lab: fixed states, a flapping check and the maintenance windows
  (10, 'lab dummy ok', 6, 3, 6000, '0 ''all good'''),
  (11, 'lab dummy warning', 6, 3, 6000, '1 ''disk at 85%'''),
  (12, 'lab dummy critical', 6, 3, 7000, '2 ''uplink down'''),
  (13, 'lab dummy unknown', 6, 3, 7000, '3 ''sensor not answering'''),
  (14, 'lab flapper', 8, 3, 5000, '''' || :'run_dir' || '/flapper.state'' critical'),
  (15, 'lab flapper, first-error maintenance', 8, 3, 5000,
       '''' || :'run_dir' || '/flapper-firsterror.state'' ok'),
  (16, 'lab exec maintenance', 6, 3, 5000, '0 ''runs, recorded as maintenance in its window'''),
  (17, 'lab noexec maintenance', 6, 3, 5000, '0 ''not run during its window'''),
  -- switch: macros of the argument line, shown by a plugin that prints its arguments
  (18, 'switch snmp arguments', 9, 4, 10000, '-H $IP $SNMP_PARAMETER -n $NODENAME'),
  (19, 'switch inventory macros', 9, 4, 10000,
       'node=$NODEID service=$SERID name=$NODENAME family=$IP_VERSION address=$IP');

\if :have_check_pgsql
INSERT INTO mavo_plugins (plugin_id, plugin_path) VALUES (10, :'nagios_dir' || '/check_pgsql');
INSERT INTO mavo_services (service_id, service_name, service_plugin_id, service_device_id,
                           service_interval_time, service_parameter) VALUES
  (20, 'database sql', 10, 2, 10000,
       '-H $IP -P ' || :'pg_port' || ' -d ' || :'pg_db' || ' -l mavo -p mavo_pw');
\endif

-- Alerting: the demo's program appends each alert (with the incident id that replaces $ERROR)
-- to the alert file. The flapper alerts on CRITICAL and on the recovery to OK; the critical
-- dummy on CRITICAL only.
INSERT INTO mavo_program (program_id, program_path) VALUES (1, :'demo_dir' || '/alert.sh');
INSERT INTO mavo_service_response_program (response_service_id, response_program_id, response_ok,
                                           response_warning, response_critical, response_unknown,
                                           response_parameter) VALUES
  (14, 1, true, true, true, true, '''' || :'run_dir' || '/alerts.log'' flapper $ERROR'),
  (12, 1, false, false, true, false,
       '''' || :'run_dir' || '/alerts.log'' dummy-critical $ERROR');

-- Maintenance, one configuration of each type, recurring every 15 minutes:
--   EXEC from 15 s after loading, 2 minutes: the service runs, its results are stored as 5;
--   NOEXEC from 20 s after loading, 2 minutes: the service is not run;
--   FIRSTERROR from loading, 10 minutes: normal runs until the first failure, which opens an
--   EXEC window of 2 minutes.
INSERT INTO mavo_maintenance_configuration (maintenance_conf_type, maintenance_conf_start_date,
                                            maintenance_conf_service_id, maintenance_conf_during,
                                            maintenance_conf_recurring,
                                            maintenance_conf_during_firsterror) VALUES
  ('EXEC', date_trunc('second', now()::timestamp) + interval '15 seconds', 16,
   interval '2 minutes', interval '15 minutes', NULL),
  ('NOEXEC', date_trunc('second', now()::timestamp) + interval '20 seconds', 17,
   interval '2 minutes', interval '15 minutes', NULL),
  ('FIRSTERROR', date_trunc('second', now()::timestamp), 15,
   interval '10 minutes', interval '15 minutes', interval '2 minutes');

-- Keep the sequences ahead of the explicit ids, for rows added later (demo/add_service.sql).
SELECT setval(pg_get_serial_sequence('mavo_device', 'device_id'), max(device_id)) FROM mavo_device;
SELECT setval(pg_get_serial_sequence('mavo_plugins', 'plugin_id'), max(plugin_id))
  FROM mavo_plugins;
SELECT setval(pg_get_serial_sequence('mavo_services', 'service_id'), max(service_id))
  FROM mavo_services;
SELECT setval(pg_get_serial_sequence('mavo_program', 'program_id'), max(program_id))
  FROM mavo_program;
