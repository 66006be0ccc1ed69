// The maintenance table: window edges, planned ids, and the two clean operations.

#include "maintenance/maintenance.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

namespace {

timeval at(time_t sec, suseconds_t usec = 0) {
  timeval t;
  t.tv_sec = sec;
  t.tv_usec = usec;
  return t;
}

constexpr int kNoExec = 1, kExec = 2, kFirstError = 3;

}  // namespace

TEST(Maintenance, WindowHoldsBothEndSecondsAndNothingOutside) {
  Maintenance m;
  // Microseconds take no part: the window is seconds 1000 to 2000.
  m.add(1, 10, kNoExec, at(1000, 999999), at(2000, 1), 0);
  const struct {
    time_t now;
    bool inside;
  } cases[] = {{999, false}, {1000, true}, {1500, true}, {2000, true}, {2001, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(m.isMaintenanceAt(10, c.now), c.inside) << "second " << c.now;
    var_maintenance info = m.getMaintenanceInformationAt(10, c.now);
    EXPECT_EQ(info.type, c.inside ? kNoExec : 0) << "second " << c.now;
  }
}

TEST(Maintenance, NoWindowGivesTypeZeroAndZeroFields) {
  Maintenance m;
  m.add(1, 10, kExec, at(1000), at(2000), 30);
  for (auto [service_id, now] : {std::pair<unsigned long, time_t>{11, 1500}, {10, 2500}}) {
    var_maintenance info = m.getMaintenanceInformationAt(service_id, now);
    EXPECT_EQ(info.type, 0);
    EXPECT_EQ(info.start.tv_sec, 0);
    EXPECT_EQ(info.start.tv_usec, 0);
    EXPECT_EQ(info.end.tv_sec, 0);
    EXPECT_EQ(info.end.tv_usec, 0);
    EXPECT_EQ(info.planned_id, 0);
    EXPECT_EQ(info.during, 0);
    EXPECT_FALSE(m.isMaintenanceAt(service_id, now));
  }
}

TEST(Maintenance, FirstMatchingWindowInInsertionOrderWins) {
  Maintenance m;
  m.add(5, 10, kExec, at(1000), at(3000), 0);
  m.add(6, 10, kFirstError, at(1500), at(2000), 45);
  m.add(7, 10, kNoExec, at(2500), at(4000), 0);
  EXPECT_EQ(m.getMaintenanceInformationAt(10, 1800).planned_id, 5);
  EXPECT_EQ(m.getMaintenanceInformationAt(10, 3500).planned_id, 7);

  var_maintenance info = m.getMaintenanceInformationAt(10, 1000);
  EXPECT_EQ(info.type, kExec);
  EXPECT_EQ(info.start.tv_sec, 1000);
  EXPECT_EQ(info.end.tv_sec, 3000);
}

TEST(Maintenance, SamePlannedIdForAnotherServiceIsIgnored) {
  Maintenance m;
  EXPECT_FALSE(m.isPlannedIDPresent(3));
  m.add(3, 10, kNoExec, at(1000), at(2000), 0);
  m.add(3, 20, kExec, at(1000), at(2000), 0);
  EXPECT_TRUE(m.isPlannedIDPresent(3));
  EXPECT_TRUE(m.isMaintenanceAt(10, 1500));
  EXPECT_FALSE(m.isMaintenanceAt(20, 1500));
}

TEST(Maintenance, ServiceIdsAreKeyedAsThirtyTwoBitIntegers) {
  Maintenance m;
  const unsigned long big = (1UL << 32) + 10;  // the same 32-bit key as service 10
  m.add(1, big, kExec, at(1000), at(2000), 0);
  EXPECT_TRUE(m.isMaintenanceAt(big, 1500));
  EXPECT_TRUE(m.isMaintenanceAt(10, 1500));
  EXPECT_FALSE(m.isMaintenanceAt(11, 1500));
}

TEST(Maintenance, CleanAfterOneWindowEndedDropsTheWholeListButOnlyThatPlannedId) {
  Maintenance m;
  m.add(1, 10, kNoExec, at(1000), at(2000), 0);  // ended at 2500
  m.add(2, 10, kExec, at(3000), at(4000), 0);    // still to come
  m.add(9, 11, kExec, at(1000), at(2000), 0);    // another service, untouched

  m.cleanAt(10, 2500);
  EXPECT_FALSE(m.isPlannedIDPresent(1));
  EXPECT_TRUE(m.isPlannedIDPresent(2));
  EXPECT_FALSE(m.isMaintenanceAt(10, 3500));  // the future window went with the list
  EXPECT_TRUE(m.isMaintenanceAt(11, 1500));
  EXPECT_TRUE(m.isPlannedIDPresent(9));

  // Planned id 2 is still known, so loading it again changes nothing.
  m.add(2, 10, kExec, at(3000), at(4000), 0);
  EXPECT_FALSE(m.isMaintenanceAt(10, 3500));
}

TEST(Maintenance, CleanWhileNoWindowHasEndedChangesNothing) {
  Maintenance m;
  m.add(1, 10, kNoExec, at(1000), at(2000), 0);
  m.add(2, 10, kExec, at(3000), at(4000), 0);
  m.cleanAt(10, 2000);  // the end second still belongs to the window
  m.cleanAt(12, 9999);  // a service without windows
  EXPECT_TRUE(m.isPlannedIDPresent(1));
  EXPECT_TRUE(m.isPlannedIDPresent(2));
  EXPECT_TRUE(m.isMaintenanceAt(10, 1500));
  EXPECT_TRUE(m.isMaintenanceAt(10, 3500));
}

TEST(Maintenance, CleanByPlannedIdTheServiceDoesNotHaveChangesNothing) {
  Maintenance m;
  m.add(1, 10, kNoExec, at(1000), at(2000), 0);
  m.add(2, 11, kNoExec, at(1000), at(2000), 0);
  m.clean(10, 2);  // planned id of another service
  m.clean(10, 99);
  m.clean(12, 1);
  EXPECT_TRUE(m.isPlannedIDPresent(1));
  EXPECT_TRUE(m.isPlannedIDPresent(2));
  EXPECT_TRUE(m.isMaintenanceAt(10, 1500));
  EXPECT_TRUE(m.isMaintenanceAt(11, 1500));
}

TEST(Maintenance, CleanByPlannedIdThenAddLeavesExactlyTheNewWindow) {
  Maintenance m;
  m.add(1, 10, kFirstError, at(1000), at(5000), 15);
  m.add(2, 10, kNoExec, at(6000), at(7000), 0);

  // A first failure at 2000 turns the FIRSTERROR window into an EXEC window of 15 minutes.
  m.clean(10, 1);
  EXPECT_FALSE(m.isPlannedIDPresent(1));
  EXPECT_TRUE(m.isPlannedIDPresent(2));
  m.add(1, 10, kExec, at(2000), at(2000 + 15 * 60), 0);

  EXPECT_FALSE(m.isMaintenanceAt(10, 1999));
  var_maintenance info = m.getMaintenanceInformationAt(10, 2000);
  EXPECT_EQ(info.type, kExec);
  EXPECT_EQ(info.planned_id, 1);
  EXPECT_EQ(info.end.tv_sec, 2900);
  EXPECT_FALSE(m.isMaintenanceAt(10, 2901));
  EXPECT_FALSE(m.isMaintenanceAt(10, 6500));  // the later window is gone
}

TEST(Maintenance, PlainOperationsUseTheCurrentTime) {
  Maintenance m;
  const time_t now = time(nullptr);
  m.add(1, 10, kExec, at(now - 60), at(now + 3600), 0);
  m.add(2, 11, kNoExec, at(now - 7200), at(now - 3600), 0);
  EXPECT_TRUE(m.isMaintenance(10));
  EXPECT_EQ(m.getMaintenanceInformation(10).planned_id, 1);
  EXPECT_FALSE(m.isMaintenance(11));
  m.clean(10);  // nothing ended yet
  EXPECT_TRUE(m.isPlannedIDPresent(1));
  m.clean(11);
  EXPECT_FALSE(m.isPlannedIDPresent(2));
}
