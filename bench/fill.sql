-- Fills a fresh benchmark database: one plugin, four devices and :services services of that
-- plugin, spread over the devices, every :interval milliseconds with the argument line :param.
-- Variables: plugin, param, services, interval (psql -v).
INSERT INTO mavo_plugins (plugin_id, plugin_path) VALUES (1, :'plugin');
INSERT INTO mavo_device (device_id, device_name, device_ip_address)
  SELECT d, 'bench device ' || d, ('127.0.0.' || d)::inet FROM generate_series(1, 4) d;
INSERT INTO mavo_services (service_id, service_name, service_plugin_id, service_device_id,
                           service_interval_time, service_parameter, service_previous_state,
                           service_last_stdout)
  SELECT s, 'bench service ' || s, 1, 1 + s % 4, :interval, :'param', 0, ''
    FROM generate_series(1, :services) s;
ANALYZE;
