-- The table telltrail writes one row per CAN frame into. Run it in the
-- logger's database:  mariadb canlog < db/can_log.sql
-- (a table made by an earlier version: db/can_log_upgrade.sql)
--
-- counter    running number of the frame, 0 .. 2147483647 (bit 31 dropped);
--            starts again at 0 with every run of the logger
-- timestamp  receive time, milliseconds since 1970-01-01 UTC
-- can_id     identifier word without bit 31 (extended frame); bit 30 marks a
--            remote request, bit 29 an error frame
-- d0 .. d7   data bytes 0 .. 255; NULL from d<length> on
-- source     the board that sent the row ('' when it is not named)
CREATE TABLE IF NOT EXISTS can_log (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
  counter INT UNSIGNED NOT NULL,
  `timestamp` BIGINT NOT NULL,
  can_id INT UNSIGNED NOT NULL,
  d0 TINYINT UNSIGNED NULL DEFAULT NULL,
  d1 TINYINT UNSIGNED NULL DEFAULT NULL,
  d2 TINYINT UNSIGNED NULL DEFAULT NULL,
  d3 TINYINT UNSIGNED NULL DEFAULT NULL,
  d4 TINYINT UNSIGNED NULL DEFAULT NULL,
  d5 TINYINT UNSIGNED NULL DEFAULT NULL,
  d6 TINYINT UNSIGNED NULL DEFAULT NULL,
  d7 TINYINT UNSIGNED NULL DEFAULT NULL,
  source VARCHAR(64) NOT NULL DEFAULT '',
  PRIMARY KEY (id),
  -- One row per frame: a batch that is delivered twice (its answer lost
  -- after the server had stored it) is stored once. Also serves the frames
  -- of a time range.
  UNIQUE KEY frame (`timestamp`, counter, can_id, source),
  -- what one identifier sent in a time range
  KEY id_time (can_id, `timestamp`)
) ENGINE=InnoDB;

-- ---------------------------------------------------------------------------
-- can_frames: the rows of can_log in a form that reads without decoding.
--   time_utc   receive time as a UTC date and time with milliseconds (made
--              from `timestamp` by date arithmetic, so the session's time
--              zone does not change it)
--   id_hex     the identifier as candump writes it: 3 hexadecimal digits,
--              or 8 for one above 7FF (the table keeps no extended flag: an
--              extended identifier up to 7FF shows as standard), or 8 with
--              20000000 set for an error frame
--   extended   1 for an identifier above 7FF (see id_hex)
--   remote, error   the remote request and error frame flags (bits 30, 29)
--   length     number of data bytes
--   data_hex   the data bytes, two hexadecimal digits each
--   frame      the frame as a candump log line has it: ID#DATA, ID#R<length>
-- `timestamp` and can_id stay as they are: filter on them, and the key
-- id_time (can_id, `timestamp`) finds the rows, for example the frames of
-- identifier 180 (and its remote requests) in one hour:
--   SELECT time_utc, frame, source FROM can_frames
--   WHERE can_id IN (0x180, 0x40000180)
--     AND `timestamp` >= TIMESTAMPDIFF(SECOND, '1970-01-01', '2026-12-07 14:00') * 1000
--     AND `timestamp` <  TIMESTAMPDIFF(SECOND, '1970-01-01', '2026-12-07 15:00') * 1000
--   ORDER BY `timestamp`, counter;
-- A table of an earlier telltrail needs db/can_log_upgrade.sql first (the
-- view shows its source column).
CREATE OR REPLACE ALGORITHM=MERGE SQL SECURITY INVOKER VIEW can_frames AS
SELECT
  id,
  source,
  counter,
  `timestamp`,
  can_id,
  CAST(TIMESTAMPADD(MICROSECOND, `timestamp` * 1000, TIMESTAMP'1970-01-01 00:00:00')
       AS DATETIME(3)) AS time_utc,
  CASE
    WHEN can_id & 0x20000000 THEN LPAD(HEX(can_id & 0x3FFFFFFF), 8, '0')
    WHEN can_id & 0x1FFFFFFF > 0x7FF THEN LPAD(HEX(can_id & 0x1FFFFFFF), 8, '0')
    ELSE LPAD(HEX(can_id & 0x7FF), 3, '0')
  END AS id_hex,
  (can_id & 0x20000000 = 0 AND can_id & 0x1FFFFFFF > 0x7FF) AS extended,
  (can_id >> 30) & 1 AS remote,
  (can_id >> 29) & 1 AS error,
  (d0 IS NOT NULL) + (d1 IS NOT NULL) + (d2 IS NOT NULL) + (d3 IS NOT NULL) +
    (d4 IS NOT NULL) + (d5 IS NOT NULL) + (d6 IS NOT NULL) + (d7 IS NOT NULL) AS length,
  CONCAT_WS('', LPAD(HEX(d0), 2, '0'), LPAD(HEX(d1), 2, '0'), LPAD(HEX(d2), 2, '0'),
            LPAD(HEX(d3), 2, '0'), LPAD(HEX(d4), 2, '0'), LPAD(HEX(d5), 2, '0'),
            LPAD(HEX(d6), 2, '0'), LPAD(HEX(d7), 2, '0')) AS data_hex,
  CONCAT(
    CASE
      WHEN can_id & 0x20000000 THEN LPAD(HEX(can_id & 0x3FFFFFFF), 8, '0')
      WHEN can_id & 0x1FFFFFFF > 0x7FF THEN LPAD(HEX(can_id & 0x1FFFFFFF), 8, '0')
      ELSE LPAD(HEX(can_id & 0x7FF), 3, '0')
    END,
    '#',
    IF(can_id & 0x60000000 = 0x40000000,
       CONCAT('R', IF(d0 IS NULL, '', (d0 IS NOT NULL) + (d1 IS NOT NULL) + (d2 IS NOT NULL) +
                      (d3 IS NOT NULL) + (d4 IS NOT NULL) + (d5 IS NOT NULL) +
                      (d6 IS NOT NULL) + (d7 IS NOT NULL))),
       CONCAT_WS('', LPAD(HEX(d0), 2, '0'), LPAD(HEX(d1), 2, '0'), LPAD(HEX(d2), 2, '0'),
                 LPAD(HEX(d3), 2, '0'), LPAD(HEX(d4), 2, '0'), LPAD(HEX(d5), 2, '0'),
                 LPAD(HEX(d6), 2, '0'), LPAD(HEX(d7), 2, '0')))) AS frame
FROM can_log;

-- Summary for the web page (web/): frames per identifier, board and minute,
-- so that a day of frames is counted from some thousand summary rows instead
-- of millions of frames. It is filled in batches by the procedure
-- can_log_summarize, which the event below runs every 30 s (when the
-- server's event scheduler is on: event_scheduler=ON), never row by row, so
-- the writers' inserts cost the same as without it. A row is counted once it
-- is settled: its id is at most a mark's (the largest id at a time) and no
-- transaction that began before that mark is still open
-- (information_schema.innodb_trx), so none can still add rows below it, however
-- late it commits. (Where the procedure's definer may not see the other
-- transactions, without the PROCESS privilege, a mark counts a minute after
-- it was taken instead.) Rows counted so far
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
-- The largest id of can_log at a time (UTC): ids up to it are settled once
-- no transaction older than the mark is open.
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
  DECLARE seen INT;
  DECLARE oldest DATETIME;
  DECLARE zone VARCHAR(64) DEFAULT @@session.time_zone;
  -- The marks are UTC, and so are the start times of transactions read here.
  SET time_zone = '+00:00';
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
    -- The oldest other open transaction: the marks before it are settled
    -- (its start is cut to the second, so the test errs on the safe side).
    -- This transaction of ours shows there when the others can be seen.
    -- Readers that declared themselves read-only (the web page) add no
    -- rows and are not waited for.
    SELECT COUNT(*), MIN(IF(trx_mysql_thread_id = CONNECTION_ID() OR trx_is_read_only, NULL, trx_started))
      INTO seen, oldest FROM information_schema.innodb_trx;
    IF seen > 0 THEN
      SELECT COALESCE(MAX(max_id), 0) INTO settled FROM can_log_mark
        WHERE oldest IS NULL OR at < oldest;
    ELSE
      SELECT COALESCE(MAX(max_id), 0) INTO settled FROM can_log_mark
        WHERE at <= UTC_TIMESTAMP(3) - INTERVAL 1 MINUTE;
    END IF;
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
  SET time_zone = zone;
END//
DELIMITER ;

CREATE EVENT IF NOT EXISTS can_log_summarize ON SCHEDULE EVERY 30 SECOND
  COMMENT 'Keeps can_log_minute current' DO CALL can_log_summarize();
CALL can_log_summarize();
