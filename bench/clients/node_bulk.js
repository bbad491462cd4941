// The official Node.js client's bulk helper (@opensearch-project/opensearch) into an index, for
// bench/engine_bench.py.
//   node node_bulk.js URL INDEX DOCS_FILE [FLUSH_BYTES CONCURRENCY]   (the helper's defaults otherwise)
// Documents go in as objects (the helper serialises what it is given). Prints the wall seconds and this
// process's CPU seconds from the first document to the last reply.
'use strict';
const fs = require('fs');
const { Client } = require('@opensearch-project/opensearch');

async function main() {
  const [url, index, path, flushBytes, concurrency] = process.argv.slice(2);
  const docs = fs.readFileSync(path, 'utf8').split('\n').filter((l) => l.length > 0).map((l) => JSON.parse(l));
  const client = new Client({ node: url, requestTimeout: 120000 });
  const options = {
    datasource: docs,
    onDocument: () => ({ index: { _index: index } }),
    onDrop: () => { throw new Error('a document was dropped'); },
  };
  if (flushBytes) options.flushBytes = Number(flushBytes);
  if (concurrency) options.concurrency = Number(concurrency);
  const t0 = process.hrtime.bigint();
  const c0 = process.cpuUsage();
  const result = await client.helpers.bulk(options);
  const cpu = process.cpuUsage(c0);
  const wall = Number(process.hrtime.bigint() - t0) / 1e9;
  if (result.failed !== 0) throw new Error(result.failed + ' documents failed');
  console.log(wall.toFixed(6) + ' ' + ((cpu.user + cpu.system) / 1e6).toFixed(6));
}

main().catch((e) => { console.error(e); process.exit(1); });
