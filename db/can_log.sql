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
-- can_log_minute: frames per identifier, board and minute, kept current by
-- MariaDB itself as rows arrive (the trigger below), so that the web page
-- (web/) counts a day of frames from some thousand summary rows instead of
-- millions of frames. The trigger fires only for rows really inserted: a
-- frame delivered twice (kept out by the key frame) is counted once, and a
-- frame that arrives late (after an outage) is counted in its own minute.
-- Rows deleted from can_log are not subtracted: after deleting old frames,
-- delete the same minutes here (DELETE FROM can_log_minute WHERE minute < …).
--
-- minute     `timestamp` DIV 60000: minutes since 1970-01-01 UTC
-- frames     frames of the minute
-- bytes      their data bytes (columns d0 .. d7 that are not NULL)
-- first_ts, last_ts   the first and last `timestamp` among them
--
-- Running this block again rebuilds the summary from the table: the table is
-- locked meanwhile, so no frame is counted twice or missed.
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

LOCK TABLES can_log WRITE, can_log_minute WRITE;
DELETE FROM can_log_minute;
INSERT INTO can_log_minute (minute, can_id, source, frames, bytes, first_ts, last_ts)
  SELECT `timestamp` DIV 60000, can_id, source, COUNT(*),
         SUM((d0 IS NOT NULL) + (d1 IS NOT NULL) + (d2 IS NOT NULL) + (d3 IS NOT NULL)
           + (d4 IS NOT NULL) + (d5 IS NOT NULL) + (d6 IS NOT NULL) + (d7 IS NOT NULL)),
         MIN(`timestamp`), MAX(`timestamp`)
  FROM can_log GROUP BY `timestamp` DIV 60000, can_id, source;
CREATE OR REPLACE TRIGGER can_log_minute_count AFTER INSERT ON can_log FOR EACH ROW
  INSERT INTO can_log_minute (minute, can_id, source, frames, bytes, first_ts, last_ts)
  VALUES (NEW.`timestamp` DIV 60000, NEW.can_id, NEW.source, 1,
          (NEW.d0 IS NOT NULL) + (NEW.d1 IS NOT NULL) + (NEW.d2 IS NOT NULL) + (NEW.d3 IS NOT NULL)
          + (NEW.d4 IS NOT NULL) + (NEW.d5 IS NOT NULL) + (NEW.d6 IS NOT NULL) + (NEW.d7 IS NOT NULL),
          NEW.`timestamp`, NEW.`timestamp`)
  ON DUPLICATE KEY UPDATE frames = frames + 1, bytes = bytes + VALUES(bytes),
    first_ts = LEAST(first_ts, VALUES(first_ts)), last_ts = GREATEST(last_ts, VALUES(last_ts));
UNLOCK TABLES;
