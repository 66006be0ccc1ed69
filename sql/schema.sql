-- Reference schema of the monitoring database, as far as the daemon reads and writes it.
-- The other tools of the monitoring system own the real schema; this one serves the tests, the
-- demo and the benchmarks. The daemon itself creates no schema.

CREATE TABLE mavo_plugins (
  plugin_id     serial PRIMARY KEY,
  plugin_path   text NOT NULL,
  plugin_type   text NOT NULL DEFAULT 'default',
  plugin_delete boolean NOT NULL DEFAULT false
);

CREATE TABLE mavo_device (
  device_id                    bigserial PRIMARY KEY,
  device_name                  text,
  device_ip_address            inet,
  device_snmp_version          text,
  device_snmp_community        text,
  device_snmp_port             text,
  device_snmp_timer            text,
  device_snmp3_user            text,
  device_snmp3_sec_lvl         text,
  device_snmp3_auth_protocole  text,
  device_snmp3_auth_key        text,
  device_snmp3_priv_protocol   text,
  device_snmp3_priv_passphrase text
);

CREATE TABLE mavo_services (
  service_id             serial PRIMARY KEY,
  service_name           text,
  service_plugin_id      integer,
  service_device_id      integer,
  service_interval_time  integer,           -- milliseconds
  service_parameter      text,
  service_previous_state integer DEFAULT 0,  -- state code of the last stored run
  service_last_stdout    text DEFAULT '',
  service_last_exec_time timestamp,
  service_delete         boolean NOT NULL DEFAULT false,
  service_srv_id         integer NOT NULL DEFAULT 0
);
CREATE INDEX mavo_services_srv ON mavo_services (service_srv_id);

CREATE TABLE mavo_program (
  program_id   serial PRIMARY KEY,
  program_path text NOT NULL
);

CREATE TABLE mavo_service_response_program (
  response_service_id integer NOT NULL,
  response_program_id integer NOT NULL,
  response_ok         boolean NOT NULL DEFAULT false,
  response_warning    boolean NOT NULL DEFAULT false,
  response_critical   boolean NOT NULL DEFAULT false,
  response_unknown    boolean NOT NULL DEFAULT false,
  response_parameter  text
);

CREATE TABLE tibo_info (
  tibo_device_id integer PRIMARY KEY,
  tibo_sn        text
);

CREATE TABLE tibo_connected (
  connected_device_id integer NOT NULL,
  connected_tibo_id   integer NOT NULL
);

CREATE TABLE mavo_device_advance_config_type (
  device_config_type_id   serial PRIMARY KEY,
  device_config_type_name text NOT NULL
);

CREATE TABLE mavo_device_advance_config (
  adv_device_id            bigint NOT NULL,
  adv_config_type_id       integer NOT NULL,
  adv_plugin_keyword_value text
);

CREATE TABLE mavo_service_pending_execute (
  pending_service_id integer NOT NULL,
  pending_type       text NOT NULL  -- 'ADD' or 'UPDATE'
);

CREATE TABLE mavo_errors (
  error_id   serial PRIMARY KEY,
  error_name text NOT NULL
);
INSERT INTO mavo_errors (error_name) VALUES
  ('default_critical_error'),
  ('default_warning_error'),
  ('default_unknow_error'),
  ('default_maintenance');

CREATE TABLE mavo_error_happen (
  happen_id            serial PRIMARY KEY,
  happen_error_id      integer NOT NULL,
  happen_device_id     integer,
  happen_service_id    integer,
  happen_timestamp     timestamp,
  happen_message       varchar,
  happen_acquitte      integer NOT NULL DEFAULT 0,  -- 0 open, 1 acknowledged
  happen_time_acquitte timestamp,
  happen_value         integer DEFAULT 0
);
CREATE INDEX mavo_error_happen_open ON mavo_error_happen (happen_service_id) WHERE happen_acquitte = 0;

CREATE TABLE mavo_configuration (
  config_key   text PRIMARY KEY,
  config_value integer
);
INSERT INTO mavo_configuration (config_key, config_value) VALUES ('SYS_RELOAD', 1);

CREATE TABLE mavo_maintenance_configuration (
  maintenance_conf_id                serial PRIMARY KEY,
  maintenance_conf_type              text NOT NULL,  -- 'EXEC', 'NOEXEC' or 'FIRSTERROR'
  maintenance_conf_start_date        timestamp,
  maintenance_conf_service_id        integer NOT NULL,
  maintenance_conf_during            interval,
  maintenance_conf_recurring         interval,
  maintenance_conf_during_firsterror interval,
  maintenance_week_selected          text DEFAULT '',
  maintenance_day_selected           text DEFAULT ''
);

CREATE TABLE mavo_maintenance_planned (
  planned_id         serial PRIMARY KEY,
  planned_type       text NOT NULL,
  planned_start      timestamp NOT NULL,
  planned_end        timestamp NOT NULL,
  planned_during     integer,  -- minutes
  planned_service_id integer NOT NULL
);

-- Moves a configuration that recurs on selected days of the month to its next occurrence.
-- This reference version moves it one month forward.
CREATE FUNCTION updateNextMaintenanceNextMonth(conf_id integer) RETURNS integer AS $$
BEGIN
  UPDATE mavo_maintenance_configuration
     SET maintenance_conf_start_date = maintenance_conf_start_date + interval '1 month'
   WHERE maintenance_conf_id = conf_id;
  RETURN conf_id;
END;
$$ LANGUAGE plpgsql;
