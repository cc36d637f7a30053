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
-- The rows are kept in one partition per day (UTC) of `timestamp`, so that
-- old days are dropped whole, in constant time (can_log_keep below); rows
-- later than the days made so far wait in p_future.
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
  PRIMARY KEY (id, `timestamp`),
  -- One row per frame: a batch that is delivered twice (its answer lost
  -- after the server had stored it) is stored once. Also serves the frames
  -- of a time range.
  UNIQUE KEY frame (`timestamp`, counter, can_id, source),
  -- what one identifier sent in a time range
  KEY id_time (can_id, `timestamp`)
) ENGINE=InnoDB
PARTITION BY RANGE (`timestamp`) (PARTITION p_future VALUES LESS THAN MAXVALUE);

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
-- can_log_hour: the same per hour, `minute` the hour's first minute; counted
-- in the same transactions, so that ranges of days read sixty times fewer
-- rows.
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
CREATE TABLE IF NOT EXISTS can_log_hour LIKE can_log_minute;
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
LOCK TABLES can_log READ, can_log_minute WRITE, can_log_hour WRITE, can_log_summary_state WRITE,
  can_log_mark WRITE;
DELETE FROM can_log_minute;
DELETE FROM can_log_hour;
DELETE FROM can_log_mark;
REPLACE INTO can_log_summary_state (one, last_id) VALUES (1, 0);
INSERT INTO can_log_mark (at, max_id) SELECT '1970-01-01', COALESCE(MAX(id), 0) FROM can_log;
UNLOCK TABLES;

DROP PROCEDURE IF EXISTS can_log_summarize;
DELIMITER //
CREATE PROCEDURE can_log_summarize()
  MODIFIES SQL DATA
  COMMENT 'Counts the settled rows of can_log into can_log_minute and can_log_hour'
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
    -- The chunk's rows per minute once (a temporary table: no commit),
    -- then added to the minutes and, per hour, to the hours.
    CREATE OR REPLACE TEMPORARY TABLE can_log_chunk AS
      SELECT `timestamp` DIV 60000 AS m, can_id, source, COUNT(*) AS n,
             SUM((d0 IS NOT NULL) + (d1 IS NOT NULL) + (d2 IS NOT NULL) + (d3 IS NOT NULL)
               + (d4 IS NOT NULL) + (d5 IS NOT NULL) + (d6 IS NOT NULL) + (d7 IS NOT NULL)) AS b,
             MIN(`timestamp`) AS f, MAX(`timestamp`) AS l
      FROM can_log WHERE id > done AND id <= upto
      GROUP BY `timestamp` DIV 60000, can_id, source;
    INSERT INTO can_log_minute (minute, can_id, source, frames, bytes, first_ts, last_ts)
      SELECT m, can_id, source, n, b, f, l FROM can_log_chunk
      ON DUPLICATE KEY UPDATE frames = frames + VALUES(frames), bytes = bytes + VALUES(bytes),
        first_ts = LEAST(first_ts, VALUES(first_ts)), last_ts = GREATEST(last_ts, VALUES(last_ts));
    INSERT INTO can_log_hour (minute, can_id, source, frames, bytes, first_ts, last_ts)
      SELECT m DIV 60 * 60, can_id, source, SUM(n), SUM(b), MIN(f), MAX(l) FROM can_log_chunk
      GROUP BY m DIV 60, can_id, source
      ON DUPLICATE KEY UPDATE frames = frames + VALUES(frames), bytes = bytes + VALUES(bytes),
        first_ts = LEAST(first_ts, VALUES(first_ts)), last_ts = GREATEST(last_ts, VALUES(last_ts));
    DROP TEMPORARY TABLE can_log_chunk;
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

-- ---------------------------------------------------------------------------
-- Retention by day. can_log_keep (run every hour by the event of the same
-- name, and once here) makes the partitions of today and the next two days
-- (UTC), and drops the days before the last keep_days (today counts) of
-- can_log_retention: whole partitions, in constant time, however many rows
-- they hold. The web page's summary (can_log_minute, can_log_hour) keeps its own
-- summary_keep_days, normally longer: the page still shows how many frames
-- older days had. 0 keeps for ever (the default). For example, a year of
-- frames and ten years of the summary:
--   UPDATE can_log_retention SET keep_days = 366, summary_keep_days = 3653;
-- The oldest day's partition also holds any rows from before it (a board
-- with a wrong clock), and they go with it.
CREATE TABLE IF NOT EXISTS can_log_retention (
  one TINYINT UNSIGNED NOT NULL PRIMARY KEY,
  keep_days INT UNSIGNED NOT NULL DEFAULT 0,
  summary_keep_days INT UNSIGNED NOT NULL DEFAULT 0
) ENGINE=InnoDB;
INSERT IGNORE INTO can_log_retention (one) VALUES (1);

DROP FUNCTION IF EXISTS can_log_day_ms;
CREATE FUNCTION can_log_day_ms(day DATE) RETURNS BIGINT DETERMINISTIC
  COMMENT 'Start of a UTC day in ms since 1970, as `timestamp` counts'
  RETURN TIMESTAMPDIFF(SECOND, '1970-01-01', day) * 1000;

-- The definitions of the day partitions from from_day to to_day, each
-- "PARTITION dYYYYMMDD VALUES LESS THAN (<start of the next day>),".
DROP FUNCTION IF EXISTS can_log_day_partitions;
DELIMITER //
CREATE FUNCTION can_log_day_partitions(from_day DATE, to_day DATE) RETURNS MEDIUMTEXT DETERMINISTIC
BEGIN
  DECLARE parts MEDIUMTEXT DEFAULT '';
  WHILE from_day <= to_day DO
    SET parts = CONCAT(parts, 'PARTITION d', DATE_FORMAT(from_day, '%Y%m%d'), ' VALUES LESS THAN (',
                       can_log_day_ms(from_day + INTERVAL 1 DAY), '),');
    SET from_day = from_day + INTERVAL 1 DAY;
  END WHILE;
  RETURN parts;
END//

-- Converts a can_log of an earlier telltrail (one partition, or none) into
-- day partitions from its oldest row's day on (at most 1000 days back: older
-- rows go into the first day). It copies the table once; see
-- can_log_upgrade.sql.
DROP PROCEDURE IF EXISTS can_log_by_day//
CREATE PROCEDURE can_log_by_day()
  MODIFIES SQL DATA
BEGIN
  DECLARE first_day DATE;
  SELECT DATE(TIMESTAMP'1970-01-01 00:00:00' + INTERVAL MIN(`timestamp`) DIV 1000 SECOND) INTO first_day FROM can_log;
  SET first_day = GREATEST(COALESCE(first_day, UTC_DATE()), UTC_DATE() - INTERVAL 1000 DAY);
  SET @can_log_ddl = CONCAT('ALTER TABLE can_log DROP PRIMARY KEY, ADD PRIMARY KEY (id, `timestamp`) ',
                            'PARTITION BY RANGE (`timestamp`) (',
                            can_log_day_partitions(first_day, UTC_DATE() + INTERVAL 2 DAY),
                            'PARTITION p_future VALUES LESS THAN MAXVALUE)');
  PREPARE ddl FROM @can_log_ddl;
  EXECUTE ddl;
  DEALLOCATE PREPARE ddl;
END//

DROP PROCEDURE IF EXISTS can_log_keep//
CREATE PROCEDURE can_log_keep()
  MODIFIES SQL DATA
  COMMENT 'Makes the next days of can_log and drops those beyond can_log_retention'
BEGIN
  DECLARE upto BIGINT;
  DECLARE first_ts BIGINT;
  DECLARE from_day DATE;
  DECLARE keep INT UNSIGNED;
  DECLARE keep_summary INT UNSIGNED;
  DECLARE old MEDIUMTEXT;
  DECLARE deleted BIGINT;
  IF NOT EXISTS (SELECT 1 FROM information_schema.PARTITIONS WHERE TABLE_SCHEMA = DATABASE()
                 AND TABLE_NAME = 'can_log' AND PARTITION_NAME = 'p_future') THEN
    SELECT 'can_log is not partitioned by day (a table of an earlier telltrail): CALL can_log_by_day() converts it'
      AS note;
  ELSE
    -- The days from the end of the last day partition (or the oldest row's
    -- day, when there is none yet) to the day after tomorrow.
    SELECT MAX(CAST(PARTITION_DESCRIPTION AS SIGNED)) INTO upto FROM information_schema.PARTITIONS
      WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'can_log' AND PARTITION_NAME <> 'p_future';
    IF upto IS NULL THEN
      SELECT MIN(`timestamp`) INTO first_ts FROM can_log;
      SET from_day = GREATEST(DATE(TIMESTAMP'1970-01-01 00:00:00' + INTERVAL COALESCE(first_ts, can_log_day_ms(UTC_DATE())) DIV 1000 SECOND),
                              UTC_DATE() - INTERVAL 1000 DAY);
    ELSE
      SET from_day = DATE(TIMESTAMP'1970-01-01 00:00:00' + INTERVAL upto DIV 1000 SECOND);
    END IF;
    IF from_day <= UTC_DATE() + INTERVAL 2 DAY THEN
      SET @can_log_ddl = CONCAT('ALTER TABLE can_log REORGANIZE PARTITION p_future INTO (',
                                can_log_day_partitions(from_day, UTC_DATE() + INTERVAL 2 DAY),
                                'PARTITION p_future VALUES LESS THAN MAXVALUE)');
      PREPARE ddl FROM @can_log_ddl;
      EXECUTE ddl;
      DEALLOCATE PREPARE ddl;
    END IF;
  END IF;
  SELECT keep_days, summary_keep_days INTO keep, keep_summary FROM can_log_retention WHERE one = 1;
  IF keep > 0 THEN
    SELECT GROUP_CONCAT(PARTITION_NAME) INTO old FROM information_schema.PARTITIONS
      WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'can_log' AND PARTITION_NAME <> 'p_future'
        AND CAST(PARTITION_DESCRIPTION AS SIGNED) <= can_log_day_ms(UTC_DATE() - INTERVAL keep - 1 DAY);
    IF old IS NOT NULL THEN
      SET @can_log_ddl = CONCAT('ALTER TABLE can_log DROP PARTITION ', old);
      PREPARE ddl FROM @can_log_ddl;
      EXECUTE ddl;
      DEALLOCATE PREPARE ddl;
    END IF;
  END IF;
  IF keep_summary > 0 THEN
    REPEAT
      DELETE FROM can_log_minute
        WHERE minute < can_log_day_ms(UTC_DATE() - INTERVAL keep_summary - 1 DAY) DIV 60000 LIMIT 100000;
      SET deleted = ROW_COUNT();
      COMMIT;
    UNTIL deleted = 0 END REPEAT;
    DELETE FROM can_log_hour
      WHERE minute < can_log_day_ms(UTC_DATE() - INTERVAL keep_summary - 1 DAY) DIV 60000;
    COMMIT;
  END IF;
END//
DELIMITER ;

CREATE EVENT IF NOT EXISTS can_log_keep ON SCHEDULE EVERY 1 HOUR
  COMMENT 'Keeps the day partitions of can_log' DO CALL can_log_keep();
CALL can_log_keep();
