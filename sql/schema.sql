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
  -- Empty: the configuration recurs every maintenance_conf_recurring. Otherwise it recurs on
  -- chosen days of each month (see updateNextMaintenanceNextMonth): one or more of 1, 2, 3, 4,
  -- last, separated by commas (blanks around items ignored, case-insensitive). Week n of a month
  -- is days 7(n-1)+1 to 7n, where each weekday occurs for the n-th time; last is the month's
  -- last seven days, where each weekday occurs for the last time.
  maintenance_week_selected          text DEFAULT '',
  -- With a week selection: one or more of mon, tue, wed, thu, fri, sat, sun, separated by commas
  -- (same rules). Empty: the weekday of the current start date.
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

-- Moves a configuration that recurs on chosen days of the month to its next occurrence: the
-- first day after the day of its current start date whose weekday is selected and which lies in
-- a selected week of its month, at the same time of day. "The second Tuesday of every month at
-- 02:00" is week '2', day 'tue', with a start date at 02:00; "the last Sunday" is week 'last',
-- day 'sun'. A configuration without a start date is left as it is. An unknown item in either
-- column, or a week selection without items, raises an exception that names the column, the
-- configuration and the item, and lists what is accepted. Returns conf_id.
CREATE FUNCTION updateNextMaintenanceNextMonth(conf_id integer) RETURNS integer AS $$
DECLARE
  accepted_weeks constant text[] := ARRAY['1', '2', '3', '4', 'last'];
  accepted_days  constant text[] := ARRAY['mon', 'tue', 'wed', 'thu', 'fri', 'sat', 'sun'];
  start_date     timestamp;
  week_text      text;
  day_text       text;
  item           text;
  weeks          text[] := '{}';     -- items of accepted_weeks, in lower case
  weekdays       integer[] := '{}';  -- ISO weekdays: 1 is Monday, 7 is Sunday
  candidate      date;
  day_of_month   integer;
  month_length   integer;
BEGIN
  -- A column of blanks counts as empty.
  SELECT maintenance_conf_start_date, btrim(maintenance_week_selected, E' \t'),
         btrim(maintenance_day_selected, E' \t')
    INTO start_date, week_text, day_text
    FROM mavo_maintenance_configuration
   WHERE maintenance_conf_id = conf_id
     FOR UPDATE;
  IF start_date IS NULL THEN  -- no start date, or no such configuration
    RETURN conf_id;
  END IF;

  IF coalesce(week_text, '') = '' THEN
    RAISE EXCEPTION 'maintenance_week_selected of configuration %: no week selected (accepted: %)',
      conf_id, array_to_string(accepted_weeks, ', ')
      USING ERRCODE = 'invalid_parameter_value';
  END IF;
  FOREACH item IN ARRAY string_to_array(week_text, ',') LOOP
    item := btrim(item, E' \t');
    IF NOT (lower(item) = ANY (accepted_weeks)) THEN
      RAISE EXCEPTION 'maintenance_week_selected of configuration %: unknown item ''%'' (accepted: %)',
        conf_id, item, array_to_string(accepted_weeks, ', ')
        USING ERRCODE = 'invalid_parameter_value';
    END IF;
    weeks := weeks || lower(item);
  END LOOP;

  IF coalesce(day_text, '') = '' THEN
    weekdays := ARRAY[extract(isodow FROM start_date)::integer];
  ELSE
    FOREACH item IN ARRAY string_to_array(day_text, ',') LOOP
      item := btrim(item, E' \t');
      IF NOT (lower(item) = ANY (accepted_days)) THEN
        RAISE EXCEPTION 'maintenance_day_selected of configuration %: unknown item ''%'' (accepted: %)',
          conf_id, item, array_to_string(accepted_days, ', ')
          USING ERRCODE = 'invalid_parameter_value';
      END IF;
      weekdays := weekdays || array_position(accepted_days, lower(item));
    END LOOP;
  END IF;

  -- Every month has a day of each selected weekday in each selected week, so the next one is at
  -- most 62 days (the end of the next month) after the current start date.
  FOR ahead IN 1..62 LOOP
    candidate := start_date::date + ahead;
    day_of_month := extract(day FROM candidate);
    month_length := extract(day FROM date_trunc('month', candidate) + interval '1 month - 1 day');
    -- Days 29 to 31 are in no numbered week, only in the last one.
    IF extract(isodow FROM candidate)::integer = ANY (weekdays)
       AND ((day_of_month <= 28 AND ((day_of_month - 1) / 7 + 1)::text = ANY (weeks))
            OR (day_of_month > month_length - 7 AND 'last' = ANY (weeks))) THEN
      UPDATE mavo_maintenance_configuration
         SET maintenance_conf_start_date = candidate + (start_date - start_date::date)
       WHERE maintenance_conf_id = conf_id;
      RETURN conf_id;
    END IF;
  END LOOP;
  RAISE EXCEPTION 'configuration %: no selected day within 62 days of %', conf_id, start_date;
END;
$$ LANGUAGE plpgsql;

-- What several daemons sharing one identifier need (MAVO/cluster_lease).
\ir cluster.sql
