#!/usr/bin/python3
"""updateNextMaintenanceNextMonth of the reference schema against dates computed here.

Each case starts a configuration at a given date and calls the function repeatedly; every start
date it gives must be the next occurrence that this script finds with the calendar module: for
week n, the n-th day of the month with the selected weekday; for "last", the last one.

Runs on the cluster of the pg fixture ($TEST_PG_DIR/conninfo), in a database of its own copied
from schema_template. Standard library and psql only.
"""

import calendar
import datetime
import os
import subprocess
import sys
import unittest

CALLS = 40
DAY_NAMES = ["mon", "tue", "wed", "thu", "fri", "sat", "sun"]  # date.weekday() order


def base_conninfo():
    pg_dir = os.environ.get("TEST_PG_DIR")
    if not pg_dir:
        sys.exit("TEST_PG_DIR is not set")
    with open(os.path.join(pg_dir, "conninfo")) as f:
        return f.readline().strip()


def psql(dbname, sql):
    """Runs sql with psql; returns (exit status, unaligned output rows, stderr)."""
    run = subprocess.run(
        ["psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
         base_conninfo() + " dbname=" + dbname],
        input=sql, capture_output=True, text=True, check=False)
    return run.returncode, run.stdout.splitlines(), run.stderr


def sql_text(value):
    return "'" + value.replace("'", "''") + "'"


def items(text):
    return [item.strip(" \t").lower() for item in text.split(",")]


def occurrences(year, month, weeks, weekdays):
    """Days of the month that are the selected occurrences of the selected weekdays."""
    days = []
    for weekday in weekdays:
        same_weekday = [day for day, wd in calendar.Calendar().itermonthdays2(year, month)
                        if day != 0 and wd == weekday]
        for week in weeks:
            index = -1 if week == "last" else int(week) - 1
            days.append(datetime.date(year, month, same_weekday[index]))
    return days


def expected_starts(start, week_text, day_text, count):
    """The count start dates that follow start, one month's occurrences at a time."""
    weeks = items(week_text)
    result = []
    current = start
    while len(result) < count:
        weekdays = ([DAY_NAMES.index(d) for d in items(day_text)]
                    if day_text.strip(" \t") else [current.weekday()])
        year, month = current.year, current.month
        following = []
        while not following:
            following = sorted(d for d in occurrences(year, month, weeks, weekdays)
                               if d > current.date())
            year, month = (year + 1, 1) if month == 12 else (year, month + 1)
        current = datetime.datetime.combine(following[0], current.time())
        result.append(current)
    return result


class MaintenanceDaysTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.db = "t_maintenance_days_%d" % os.getpid()
        status, _, err = psql("postgres", "CREATE DATABASE %s TEMPLATE schema_template;" % cls.db)
        if status != 0:
            raise RuntimeError(err)

    @classmethod
    def tearDownClass(cls):
        psql("postgres", "DROP DATABASE IF EXISTS %s WITH (FORCE);" % cls.db)

    def configuration(self, start_sql, week, day):
        status, out, err = psql(
            self.db,
            "INSERT INTO mavo_maintenance_configuration (maintenance_conf_type, "
            "maintenance_conf_start_date, maintenance_conf_service_id, maintenance_week_selected, "
            "maintenance_day_selected) VALUES ('EXEC', %s, 1, %s, %s) "
            "RETURNING maintenance_conf_id;" % (start_sql, sql_text(week), sql_text(day)))
        self.assertEqual(status, 0, err)
        return int(out[0])

    def start_of(self, conf_id):
        _, out, _ = psql(self.db, "SELECT coalesce(maintenance_conf_start_date::text, 'NULL') "
                                  "FROM mavo_maintenance_configuration "
                                  "WHERE maintenance_conf_id = %d;" % conf_id)
        return out[0]

    def test_successive_starts_match_the_calendar(self):
        cases = [
            # start, week, day
            ("2023-01-01 02:00:00", "2", "tue"),             # the second Tuesday
            ("2026-05-31 23:59:59", "last", "sun"),          # the last Sunday
            ("2024-01-31 02:00:00", "1,3", "mon,fri"),
            ("2027-02-28 06:30:00", "last", "sat"),
            ("2028-02-29 23:59:59", "4", "sun"),
            ("2025-01-31 00:00:00", "2", ""),                # Friday: the second Friday
            ("2029-12-31 12:34:56", " 1 , LAST ", " Wed,SUN "),
            ("2024-02-27 23:59:59", "1,2,3,4,last", "mon,tue,wed,thu,fri,sat,sun"),  # every day
            ("2028-01-31 02:00:00", "3,4", "thu"),
        ]
        for start, week, day in cases:
            with self.subTest(start=start, week=week, day=day):
                begin = datetime.datetime.fromisoformat(start)
                conf_id = self.configuration(sql_text(start), week, day)
                # Each call prints the configuration id, then the start date it left.
                status, out, err = psql(self.db, (
                    "SELECT updateNextMaintenanceNextMonth(%d);\n"
                    "SELECT maintenance_conf_start_date FROM mavo_maintenance_configuration "
                    "WHERE maintenance_conf_id = %d;\n" % (conf_id, conf_id)) * CALLS)
                self.assertEqual(status, 0, err)
                self.assertEqual(out[0::2], [str(conf_id)] * CALLS)
                want = [d.isoformat(" ") for d in expected_starts(begin, week, day, CALLS)]
                self.assertEqual(out[1::2], want)

    def test_start_date_without_value_stays_without_value(self):
        conf_id = self.configuration("NULL", "2", "tue")
        status, out, err = psql(self.db, "SELECT updateNextMaintenanceNextMonth(%d);" % conf_id)
        self.assertEqual((status, out), (0, [str(conf_id)]), err)
        self.assertEqual(self.start_of(conf_id), "NULL")

    def test_unknown_items_raise_naming_column_configuration_and_item(self):
        weeks = "1, 2, 3, 4, last"
        days = "mon, tue, wed, thu, fri, sat, sun"
        cases = [
            # week, day, message after "<column> of configuration <id>: "
            ("fifth", "tue", "maintenance_week_selected", "unknown item 'fifth' (accepted: %s)"
             % weeks),
            ("2, 5", "tue", "maintenance_week_selected", "unknown item '5' (accepted: %s)" % weeks),
            ("1,,3", "tue", "maintenance_week_selected", "unknown item '' (accepted: %s)" % weeks),
            ("  ", "tue", "maintenance_week_selected", "no week selected (accepted: %s)" % weeks),
            ("2", "tue, Monday", "maintenance_day_selected", "unknown item 'Monday' (accepted: %s)"
             % days),
            ("last", "sun;sat", "maintenance_day_selected", "unknown item 'sun;sat' (accepted: %s)"
             % days),
        ]
        start = "2024-01-31 02:00:00"
        for week, day, column, message in cases:
            with self.subTest(week=week, day=day):
                conf_id = self.configuration(sql_text(start), week, day)
                status, _, err = psql(self.db,
                                      "SELECT updateNextMaintenanceNextMonth(%d);" % conf_id)
                self.assertNotEqual(status, 0)
                self.assertIn("ERROR:  %s of configuration %d: %s\n" % (column, conf_id, message),
                              err)
                self.assertEqual(self.start_of(conf_id), start)


if __name__ == "__main__":
    unittest.main()
