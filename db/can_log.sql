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
