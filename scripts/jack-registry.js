'use strict';
// JACK lists its running servers in a shared registry of eight slots. A server
// that is killed rather than stopped keeps its slot until a server of the same
// name starts again; test servers have random names, so killed ones (a device
// fault test, a crashed test process) fill the registry and every later server
// fails with "Too many servers already active". This frees the slots whose
// process is gone. Run directly, it prints how many it freed.
const fs = require('node:fs');

const REGISTRY = '/dev/shm/jack-shm-registry';
const MAGIC = 0x4a41434b; // "KCAJ" as stored
const SLOTS = 8;
const HEADER = 24; // magic, protocol, type, size, header length, entry length
const SLOT = 264; // pid, then a 257-byte name, padded

function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch (error) {
    return error.code === 'EPERM';
  }
}

function reclaimDeadServers(path = REGISTRY) {
  let fd;
  try {
    fd = fs.openSync(path, 'r+');
  } catch {
    return 0;
  }
  try {
    const head = Buffer.alloc(HEADER + SLOTS * SLOT);
    if (fs.readSync(fd, head, 0, head.length, 0) !== head.length) return 0;
    // Only a registry laid out as this JACK version lays it out is touched.
    if (head.readUInt32LE(0) !== MAGIC || head.readInt32LE(16) !== head.length) return 0;
    let freed = 0;
    for (let slot = 0; slot < SLOTS; slot += 1) {
      const at = HEADER + slot * SLOT;
      const pid = head.readInt32LE(at);
      if (pid <= 0 || alive(pid)) continue;
      // The name first and the pid last: a slot reads as free only once clean.
      fs.writeSync(fd, Buffer.alloc(SLOT - 4), 0, SLOT - 4, at + 4);
      fs.writeSync(fd, Buffer.alloc(4), 0, 4, at);
      freed += 1;
    }
    return freed;
  } finally {
    fs.closeSync(fd);
  }
}

module.exports = { reclaimDeadServers };

if (require.main === module) console.log(`jack registry: ${reclaimDeadServers()} stale slot(s) freed`);
