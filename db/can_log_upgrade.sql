-- Brings a can_log table made by an earlier telltrail (columns id, counter,
-- timestamp, can_id, d0 .. d7 and the key time_range) up to can_log.sql:
--   mariadb canlog < db/can_log_upgrade.sql
-- It adds the source column and the keys; the rows stay as they are. Older
-- tables also keep working without it, but then a frame delivered twice
-- (after an answer lost in an outage) is stored twice, and the Source
-- setting cannot be used. Run db/can_log.sql after it: it leaves the
-- table as it is and adds the view can_frames and the web page's summary.
--
-- Where the table already holds the same frame twice, adding the key frame
-- fails ("Duplicate entry"); ALTER IGNORE TABLE instead of ALTER TABLE
-- keeps the first row of each frame and drops the others.
ALTER TABLE can_log
  ADD COLUMN IF NOT EXISTS source VARCHAR(64) NOT NULL DEFAULT '',
  ADD UNIQUE KEY IF NOT EXISTS frame (`timestamp`, counter, can_id, source),
  ADD KEY IF NOT EXISTS id_time (can_id, `timestamp`),
  DROP KEY IF EXISTS time_range;
