-- Brings a can_log table made by an earlier telltrail (columns id, counter,
-- timestamp, can_id, d0 .. d7 and the key time_range) up to can_log.sql:
--   mariadb canlog < db/can_log_upgrade.sql
-- It adds the source column and the keys; the rows stay as they are. Older
-- tables also keep working without it, but then a frame delivered twice
-- (after an answer lost in an outage) is stored twice, and the Source
-- setting cannot be used. Run db/can_log.sql after it for the view
-- can_frames, which shows the source column.
--
-- Where the table already holds the same frame twice, adding the key frame
-- fails ("Duplicate entry"); ALTER IGNORE TABLE instead of ALTER TABLE
-- keeps the first row of each frame and drops the others.
ALTER TABLE can_log
  ADD COLUMN IF NOT EXISTS source VARCHAR(64) NOT NULL DEFAULT '',
  ADD UNIQUE KEY IF NOT EXISTS frame (`timestamp`, counter, can_id, source),
  ADD KEY IF NOT EXISTS id_time (can_id, `timestamp`),
  DROP KEY IF EXISTS time_range;

-- ---------------------------------------------------------------------------
-- Summary for the web page (web/), as at the end of can_log.sql: frames per identifier, board and minute,
-- so that a day of frames is counted from some thousand summary rows instead
-- of millions of frames. It is filled in batches by the procedure
-- can_log_summarize, which the event below runs every 30 s (when the
-- server's event scheduler is on: event_scheduler=ON), never row by row, so
-- the writers' inserts cost the same as without it. A row is counted once it
-- is settled: inserted (by id) before a mark taken at least a minute ago, so
-- that no open transaction can still add rows below it. Rows counted so far
-- are those with id <= can_log_summary_state.last_id; readers count the
-- newer ones from can_log itself, so their answers are exact whether the
-- event runs or not. A frame delivered twice is stored once and counted
-- once; a frame delivered late (after an outage) gets a new id and is
-- counted in its own minute. Rows deleted from can_log are not subtracted:
-- after deleting old frames, run this block again (it rebuilds the summary).
--
-- can_log_minute: minute (`timestamp` DIV 60000, minutes since 1970 UTC),
-- frames, bytes (data bytes: d0 .. d7 that are not NULL), first_ts and
-- last_ts (the first and last `timestamp` among them).
CREATE TABLE IF NOT EXISTS can_log_minute (
  minute BIGINT NOT NULL,
  can_id INT UNSIGNED NOT NULL,
  source VARCHAR(64) NOT NULL DEFAULT '',
  frames INT UNSIGNED NOT NULL,
  bytes INT UNSIGNED NOT NULL,
  first_ts BIGINT NOT NULL,
  last_ts BIGINT NOT NULL,
  PRIMARY KEY (minute, can_id, source),
  KEY id_minute (can_id, minute)
) ENGINE=InnoDB;
CREATE TABLE IF NOT EXISTS can_log_summary_state (
  one TINYINT UNSIGNED NOT NULL PRIMARY KEY,
  last_id BIGINT UNSIGNED NOT NULL
) ENGINE=InnoDB;
-- The largest id of can_log at a time (UTC): ids up to it are settled a
-- minute later.
CREATE TABLE IF NOT EXISTS can_log_mark (
  at DATETIME(3) NOT NULL,
  max_id BIGINT UNSIGNED NOT NULL,
  PRIMARY KEY (at, max_id)
) ENGINE=InnoDB;

-- (Re)build: the summary starts empty, and every row there now is settled
-- (the table lock waits for open transactions that write to can_log).
LOCK TABLES can_log READ, can_log_minute WRITE, can_log_summary_state WRITE, can_log_mark WRITE;
DELETE FROM can_log_minute;
DELETE FROM can_log_mark;
REPLACE INTO can_log_summary_state (one, last_id) VALUES (1, 0);
INSERT INTO can_log_mark (at, max_id) SELECT '1970-01-01', COALESCE(MAX(id), 0) FROM can_log;
UNLOCK TABLES;

DROP PROCEDURE IF EXISTS can_log_summarize;
DELIMITER //
CREATE PROCEDURE can_log_summarize()
  MODIFIES SQL DATA
  COMMENT 'Counts the settled rows of can_log into can_log_minute'
BEGIN
  DECLARE done BIGINT UNSIGNED;
  DECLARE settled BIGINT UNSIGNED;
  DECLARE upto BIGINT UNSIGNED;
  DECLARE newest BIGINT UNSIGNED;
  SELECT COALESCE(MAX(id), 0) INTO newest FROM can_log;
  INSERT INTO can_log_mark (at, max_id) VALUES (UTC_TIMESTAMP(3), newest);
  COMMIT;
  -- At most a million rows per transaction (a big table is caught up in
  -- steps). Read committed: the rows read are not locked, so writers never
  -- wait for this.
  chunks: LOOP
    SET TRANSACTION ISOLATION LEVEL READ COMMITTED;
    START TRANSACTION;
    SELECT last_id INTO done FROM can_log_summary_state WHERE one = 1 FOR UPDATE;
    SELECT COALESCE(MAX(max_id), 0) INTO settled FROM can_log_mark
      WHERE at <= UTC_TIMESTAMP(3) - INTERVAL 1 MINUTE;
    SET upto = LEAST(settled, done + 1000000);
    IF upto <= done THEN
      COMMIT;
      LEAVE chunks;
    END IF;
    INSERT INTO can_log_minute (minute, can_id, source, frames, bytes, first_ts, last_ts)
      SELECT `timestamp` DIV 60000, can_id, source, COUNT(*),
             SUM((d0 IS NOT NULL) + (d1 IS NOT NULL) + (d2 IS NOT NULL) + (d3 IS NOT NULL)
               + (d4 IS NOT NULL) + (d5 IS NOT NULL) + (d6 IS NOT NULL) + (d7 IS NOT NULL)),
             MIN(`timestamp`), MAX(`timestamp`)
      FROM can_log WHERE id > done AND id <= upto
      GROUP BY `timestamp` DIV 60000, can_id, source
      ON DUPLICATE KEY UPDATE frames = frames + VALUES(frames), bytes = bytes + VALUES(bytes),
        first_ts = LEAST(first_ts, VALUES(first_ts)), last_ts = GREATEST(last_ts, VALUES(last_ts));
    UPDATE can_log_summary_state SET last_id = upto WHERE one = 1;
    COMMIT;
  END LOOP;
  -- Marks of the past day are enough, and the newest settled one.
  DELETE FROM can_log_mark WHERE at < UTC_TIMESTAMP(3) - INTERVAL 1 DAY
    AND max_id < (SELECT last_id FROM can_log_summary_state WHERE one = 1);
  COMMIT;
END//
DELIMITER ;

CREATE EVENT IF NOT EXISTS can_log_summarize ON SCHEDULE EVERY 30 SECOND
  COMMENT 'Keeps can_log_minute current' DO CALL can_log_summarize();
CALL can_log_summarize();
