<?php
// The web page over the logged frames: a time range, the identifiers seen
// in it, frames per second and bus load over time, and the values of one
// identifier. The page is static; telltrail.js fills it from api.php.

require __DIR__ . '/lib/settings.php';

// Where the browser gets Chart.js: the setting chart_js_url, else PHP's
// built-in server serves it through chart.php, else the /javascript/ alias
// of Debian's javascript-common (nginx: see packaging/web/README.md) serves the package's
// file.
function chart_js_url(): string
{
    $settings = telltrail_settings();
    if ($settings !== null && $settings['chart_js_url'] !== '')
        return $settings['chart_js_url'];
    if (PHP_SAPI === 'cli-server')
        return 'chart.php';
    foreach (['chart.umd.js', 'chart.min.js', 'Chart.min.js'] as $name)
        if (is_file("/usr/share/javascript/chart.js/$name"))
            return "/javascript/chart.js/$name";
    return 'chart.php';
}

function asset(string $name): string
{
    return $name . '?v=' . dechex((int)@filemtime(__DIR__ . "/$name"));
}

header('Content-Type: text/html; charset=utf-8');
header('X-Content-Type-Options: nosniff');
header("Content-Security-Policy: default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'");
?>
<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>telltrail · CAN bus</title>
<link rel="icon" href="favicon.svg" type="image/svg+xml">
<link rel="stylesheet" href="<?= htmlspecialchars(asset('telltrail.css')) ?>">
<script src="<?= htmlspecialchars(chart_js_url()) ?>"></script>
<script src="<?= htmlspecialchars(asset('telltrail.js')) ?>" defer></script>
</head>
<body>
<header class="bar">
  <h1>telltrail <span>CAN bus</span></h1>
  <form id="range" class="range">
    <div class="presets" role="group" aria-label="Time range">
      <button type="button" data-preset="15m">15 min</button>
      <button type="button" data-preset="1h">1 h</button>
      <button type="button" data-preset="6h">6 h</button>
      <button type="button" data-preset="24h">24 h</button>
      <button type="button" data-preset="7d">7 d</button>
      <button type="button" data-preset="all">All</button>
    </div>
    <div class="fromto">
      <label>From <input type="datetime-local" id="from" required></label>
      <label>To <input type="datetime-local" id="to" required></label>
      <button type="submit" class="primary">Show</button>
    </div>
    <div class="options">
      <label>Bit rate
        <select id="bitrate">
          <option value="10000">10 kbit/s</option>
          <option value="20000">20 kbit/s</option>
          <option value="33333">33.3 kbit/s</option>
          <option value="50000">50 kbit/s</option>
          <option value="83333">83.3 kbit/s</option>
          <option value="100000">100 kbit/s</option>
          <option value="125000">125 kbit/s</option>
          <option value="250000">250 kbit/s</option>
          <option value="500000" selected>500 kbit/s</option>
          <option value="800000">800 kbit/s</option>
          <option value="1000000">1 Mbit/s</option>
        </select>
      </label>
      <label id="source-box" hidden>Board
        <select id="source"><option value="">all</option></select>
      </label>
    </div>
  </form>
</header>
<main>
  <div id="notice" class="notice" hidden></div>
  <section class="cards" aria-label="Summary">
    <div class="card"><span class="label">Frames</span><span class="value" id="c-frames">–</span></div>
    <div class="card"><span class="label">Frames/s</span><span class="value" id="c-rate">–</span></div>
    <div class="card"><span class="label">Identifiers</span><span class="value" id="c-ids">–</span></div>
    <div class="card"><span class="label">Bus load</span><span class="value" id="c-load">–</span>
      <span class="sub" id="c-load-peak"></span></div>
  </section>
  <section class="panel">
    <h2><span id="rate-title">Frames per second</span> <small id="rate-note"></small></h2>
    <div class="chart"><canvas id="rate-chart" aria-label="Frames per second over time"></canvas></div>
    <h2>Bus load <small id="load-note"></small></h2>
    <div class="chart small"><canvas id="load-chart" aria-label="Bus load over time"></canvas></div>
    <div id="health" hidden>
      <h2>Bus health <small id="health-note"></small></h2>
      <div class="chart small"><canvas id="health-chart" aria-label="Error frames of the bus over time"></canvas></div>
    </div>
  </section>
  <section class="panel" id="detail" hidden>
    <div class="detail-head">
      <h2 id="detail-title"></h2>
      <button type="button" id="detail-close" class="link">Back to all identifiers</button>
    </div>
    <div class="controls">
      <label>Value
        <select id="byte"></select>
      </label>
      <label>as
        <select id="width">
          <option value="1">8 bit</option>
          <option value="2be">16 bit, big-endian</option>
          <option value="2le">16 bit, little-endian</option>
        </select>
      </label>
    </div>
    <div class="chart"><canvas id="value-chart" aria-label="Value over time"></canvas></div>
    <div id="elster-box" hidden>
      <div class="controls">
        <label>Elster index
          <select id="elster-index"></select>
        </label>
      </div>
      <div class="chart"><canvas id="elster-chart" aria-label="Elster value over time"></canvas></div>
    </div>
  </section>
  <section class="panel">
    <h2>Identifiers <small id="ids-note"></small></h2>
    <div class="table-wrap">
      <table id="ids">
        <thead>
          <tr>
            <th>ID</th><th class="num">Frames</th><th class="num">Frames/s</th>
            <th class="num" title="mean over the range; min and max over its last 100 frames">Cycle ms</th>
            <th>Last data</th><th class="elster-col">Elster</th><th>Last seen</th>
          </tr>
        </thead>
        <tbody></tbody>
      </table>
    </div>
  </section>
</main>
<footer>Times in local time (<span id="tz"></span>). Bus load without stuff bits. Data: <a href="api.php?q=info">api.php</a></footer>
</body>
</html>
