-- What several daemons of one identifier need to share its services (MAVO/cluster_lease). Apply
-- it on top of the reference schema; it can be applied again at any time (it changes nothing
-- that exists). The daemons create no table themselves.
--
-- Members hold leases whose ends are written with the server's clock; a member judges its own
-- lease on its monotonic clock only. A service belongs to bucket service_id % 1024; each bucket
-- of an identifier has one owner at a time, and every change of owner moves its epoch on. A
-- member's write of a service's results names the bucket's epoch it holds, and touches nothing
-- when that is no longer the bucket's: a member that lost a bucket without knowing it (frozen,
-- cut off) cannot overwrite what its new owner stored. A batch of fresh writes names instead its
-- member's fence, which moves on whenever another member takes over buckets of this one: one
-- look-up for the batch, not one per service.

CREATE TABLE IF NOT EXISTS mavo_cluster_member (
  member_cluster integer     NOT NULL,  -- the daemons' identifier (daemon_id / -i)
  member_node    text        NOT NULL,  -- MAVO/cluster_node
  member_expires timestamptz NOT NULL,  -- end of its lease, on the server's clock
  member_joined  timestamptz NOT NULL DEFAULT now(),
  member_fence   bigint      NOT NULL DEFAULT 0,  -- moved on by each takeover of its buckets
  PRIMARY KEY (member_cluster, member_node)
);
ALTER TABLE mavo_cluster_member ADD COLUMN IF NOT EXISTS member_fence bigint NOT NULL DEFAULT 0;

CREATE TABLE IF NOT EXISTS mavo_cluster_bucket (
  bucket_cluster integer NOT NULL,
  bucket_id      integer NOT NULL,        -- service_id % 1024
  bucket_owner   text,                    -- member_node of its owner; NULL while free
  bucket_epoch   bigint  NOT NULL DEFAULT 0,
  PRIMARY KEY (bucket_cluster, bucket_id)
);

-- The owners' loads of their services and change requests go by bucket.
CREATE INDEX IF NOT EXISTS mavo_services_bucket ON mavo_services ((service_id % 1024));
