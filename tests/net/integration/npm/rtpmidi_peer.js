// A peer built on the npm package rtpmidi, driven by the tests:
//   node rtpmidi_peer.js LOCAL_PORT REMOTE_PORT
// invites the session at 127.0.0.1:REMOTE_PORT and prints one line per event:
//   "midi <hex>" for each message received, "control <command>" for each
//   session packet (end = BY). Lines on stdin: "send <hex>", "quit".
// The package is found where scripts/test.sh installed it (KORVANE_RTPMIDI_DIR).
const rtpmidi = require(`${process.env.KORVANE_RTPMIDI_DIR}/rtpmidi`);
const readline = require('readline');

rtpmidi.logger.level = 'error';
const [localPort, remotePort] = process.argv.slice(2).map(Number);
const session = new rtpmidi.Session(localPort, 'npm', 'npm', undefined, false);
session.on('controlMessage', (message) => console.log(`control ${message.command}`));
session.on('message', (deltaTime, message) => console.log(`midi ${Buffer.from(message).toString('hex')}`));
// The last stream stays in use after a BY, as a peer that missed it would.
let stream = null;
session.on('streamAdded', (event) => { stream = event.stream; });
session.on('ready', () => {
  console.log('ready');
  session.connect({ address: '127.0.0.1', port: remotePort });
});
session.start();

readline.createInterface({ input: process.stdin }).on('line', (line) => {
  const [verb, hex] = line.trim().split(' ');
  if (verb === 'send') {
    // Straight to the stream: one command per packet, no delta time.
    if (stream) {
      stream.sendMessage({ timestamp: session.now(), commands: [{ deltaTime: 0, data: Buffer.from(hex, 'hex') }] });
    }
  }
  if (verb === 'quit') process.exit(0);
});
