<?php
// Shared by the test server's scripts: where received requests are stored,
// and how an answer text is sent.

// The run directory's data folder (set by httpserver.sh for both servers).
function data_dir(): string {
  $dir = getenv('TELLTRAIL_HTTP_DATA');
  if ($dir === false || $dir === '') {
    $dir = sys_get_temp_dir();
  }
  return $dir;
}

// Appends text to a file of the data folder, under a lock (nginx may run
// requests side by side).
function store(string $name, string $text): bool {
  return file_put_contents(data_dir() . '/' . $name, $text, FILE_APPEND | LOCK_EX) !== false;
}

// Appends one line for the request to data/requests.txt, tab-separated:
// the request line, the Host header, the Content-Length header (empty
// without one) and the length of the body that arrived.
function record_request(int $bodyLength): bool {
  $line = sprintf("%s %s %s\t%s\t%s\t%d\n", $_SERVER['REQUEST_METHOD'] ?? '',
                  $_SERVER['REQUEST_URI'] ?? '', $_SERVER['SERVER_PROTOCOL'] ?? '',
                  $_SERVER['HTTP_HOST'] ?? '', $_SERVER['CONTENT_LENGTH'] ?? '', $bodyLength);
  return store('requests.txt', $line);
}

// Sends the answer text. nginx frames the output of php-fpm as chunks by
// itself; PHP's built-in server sends it bare and ends it by closing the
// connection, so there it is framed here as one chunk and the final zero
// chunk, which is what HTTP/1.1 clients read.
function answer(string $text): void {
  if (PHP_SAPI === 'cli-server') {
    header('Transfer-Encoding: chunked');
    if ($text !== '') {
      printf("%x\r\n%s\r\n", strlen($text), $text);
    }
    echo "0\r\n\r\n";
  } else {
    echo $text;
  }
}
