-- The demo with several daemons (scripts/demo.sh --cluster N): every stored run is noted with
-- the daemon that stored it, which each daemon's sessions name (application_name). Not part of
-- the monitoring schema.
CREATE TABLE demo_member_runs (
  service_id integer   NOT NULL,
  member     text      NOT NULL,
  at         timestamp NOT NULL
);

CREATE FUNCTION demo_note_member() RETURNS trigger AS $$
BEGIN
  IF NEW.service_last_exec_time IS DISTINCT FROM OLD.service_last_exec_time THEN
    INSERT INTO demo_member_runs VALUES (NEW.service_id, current_setting('application_name'),
                                         NEW.service_last_exec_time);
  END IF;
  RETURN NEW;
END;
$$ LANGUAGE plpgsql;

CREATE TRIGGER demo_note_member AFTER UPDATE ON mavo_services
  FOR EACH ROW EXECUTE FUNCTION demo_note_member();

-- Runs of a service stored by two different daemons closer than its interval (less a second
-- for the time a run takes): a service run twice.
CREATE VIEW demo_twice AS
SELECT r.service_id, r.member, r.prev_member, r.at, r.prev_at
  FROM (SELECT service_id, member, at,
               lag(member) OVER w AS prev_member, lag(at) OVER w AS prev_at
          FROM demo_member_runs WINDOW w AS (PARTITION BY service_id ORDER BY at)) r
  JOIN mavo_services s USING (service_id)
 WHERE r.prev_member <> r.member
   AND r.at - r.prev_at < (s.service_interval_time - 1000) * interval '1 millisecond';
