-- Brings a can_log table made by an earlier telltrail (columns id, counter,
-- timestamp, can_id, d0 .. d7 and the key time_range) up to can_log.sql:
--   mariadb canlog < db/can_log_upgrade.sql
-- It adds the source column and the keys; the rows stay as they are. Older
-- tables also keep working without it, but then a frame delivered twice
-- (after an answer lost in an outage) is stored twice, and the Source
-- setting cannot be used. Run db/can_log.sql after it: it leaves the
-- table as it is and adds the view can_frames, the web page's summary and
-- the retention by day. Then put the table into one partition a day, so
-- that old days can be dropped whole (can_log_retention, in can_log.sql):
--   mariadb canlog -e 'CALL can_log_by_day()'
-- That copies the table once, with writers waiting meanwhile (stop the
-- loggers, or let their spools hold the frames): about 6 s per million rows
-- on a 2-core machine (10 minutes for 100 million), and disk space for a
-- second copy. (This file takes about 5 s per million rows, and the first
-- summary of can_log.sql about 25 s: bench/partition_upgrade.sh.)
--
-- Where the table already holds the same frame twice, adding the key frame
-- fails ("Duplicate entry"); ALTER IGNORE TABLE instead of ALTER TABLE
-- keeps the first row of each frame and drops the others.
ALTER TABLE can_log
  ADD COLUMN IF NOT EXISTS source VARCHAR(64) NOT NULL DEFAULT '',
  ADD UNIQUE KEY IF NOT EXISTS frame (`timestamp`, counter, can_id, source),
  ADD KEY IF NOT EXISTS id_time (can_id, `timestamp`),
  DROP KEY IF EXISTS time_range;
