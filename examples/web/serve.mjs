// Serves the example on http://localhost:PORT/ (default 8080) with gxemp.js beside it:
//   node examples/web/serve.mjs [PORT]
// Prints the page's URL once it listens.
import http from 'node:http';
import { readFile } from 'node:fs/promises';
import { fileURLToPath } from 'node:url';
import { dirname, join } from 'node:path';

const here = dirname(fileURLToPath(import.meta.url));
const FILES = {
  '/': [join(here, 'index.html'), 'text/html'],
  '/app.js': [join(here, 'app.js'), 'text/javascript'],
  '/style.css': [join(here, 'style.css'), 'text/css'],
  '/gxemp.js': [process.env.GXEMP_JS ?? join(here, '../../web/gxemp.js'), 'text/javascript'],
};

const server = http.createServer(async (req, res) => {
  const file = FILES[new URL(req.url, 'http://localhost').pathname];
  if (!file) {
    res.writeHead(404).end('not found\n');
    return;
  }
  res.writeHead(200, { 'Content-Type': `${file[1]}; charset=utf-8`, 'Cache-Control': 'no-store' });
  res.end(await readFile(file[0]));
});
server.listen(Number(process.argv[2] ?? 8080), '127.0.0.1', () => {
  console.log(`http://localhost:${server.address().port}/`);
});
