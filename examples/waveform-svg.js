'use strict';
// Writes an SVG picture of a track's waveform overview with its trim points.
//
//   node examples/waveform-svg.js [audio-file] [out.svg]
//
// Without a file it generates a tone track first.
const fs = require('fs');
const os = require('os');
const path = require('path');
const engine = require('..');

function renderSvg({ waveform, trim, title, width = 960, height = 200 }) {
  const top = 28;
  const plotHeight = height - top - 24;
  const middle = top + plotHeight / 2;
  const duration = waveform.durationSeconds || 1;
  const x = (seconds) => ((seconds / duration) * width).toFixed(1);
  const step = width / waveform.peaks.length;
  const upper = [];
  const lower = [];
  waveform.peaks.forEach((peak, i) => {
    const px = (i * step + step / 2).toFixed(1);
    upper.push(`${px},${(middle - peak.max * (plotHeight / 2)).toFixed(1)}`);
    lower.unshift(`${px},${(middle - peak.min * (plotHeight / 2)).toFixed(1)}`);
  });
  const marker = (seconds, label, anchor) =>
    `<line x1="${x(seconds)}" y1="${top}" x2="${x(seconds)}" y2="${top + plotHeight}" stroke="#d97706" stroke-width="2"/>` +
    `<text x="${x(seconds)}" y="${height - 8}" text-anchor="${anchor}" fill="#92400e">${label} ${seconds.toFixed(2)} s</text>`;
  return `<svg xmlns="http://www.w3.org/2000/svg" width="${width}" height="${height}" viewBox="0 0 ${width} ${height}" font-family="sans-serif" font-size="13">
<rect width="${width}" height="${height}" fill="#f8fafc"/>
<text x="8" y="18" fill="#0f172a">${title} (${duration.toFixed(2)} s, ${waveform.peaks.length} peaks)</text>
<rect x="0" y="${top}" width="${x(trim.cueInSeconds)}" height="${plotHeight}" fill="#e2e8f0"/>
<rect x="${x(trim.cueOutSeconds)}" y="${top}" width="${(width - x(trim.cueOutSeconds)).toFixed(1)}" height="${plotHeight}" fill="#e2e8f0"/>
<polygon points="${upper.concat(lower).join(' ')}" fill="#0891b2"/>
<line x1="0" y1="${middle}" x2="${width}" y2="${middle}" stroke="#155e75" stroke-width="0.5"/>
${marker(trim.cueInSeconds, 'cue-in', 'start')}
${marker(trim.cueOutSeconds, 'cue-out', 'end')}
</svg>
`;
}

async function main() {
  let [file, output] = process.argv.slice(2);
  let generatedFolder = null;
  if (!file) {
    generatedFolder = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-svg-'));
    file = path.join(generatedFolder, 'tone.wav');
    require('./synth').writeTrack(file, { musicSeconds: 12 });
  }
  output = output || path.join(__dirname, '..', 'docs', 'waveform.svg');
  const track = { id: 'overview', path: path.resolve(file) };
  const [waveform, trim] = await Promise.all([
    engine.analyzeWaveform({ track, options: { maxPoints: 480 } }),
    engine.analyzeTrim({ track }),
  ]);
  if (generatedFolder) fs.rmSync(generatedFolder, { recursive: true, force: true });
  if (!waveform.ok || !trim.ok) {
    process.stderr.write(`cannot analyse ${file}: ${waveform.message || trim.message}\n`);
    process.exitCode = 1;
    return;
  }
  const title = generatedFolder ? 'Generated tone track' : path.basename(file);
  fs.mkdirSync(path.dirname(output), { recursive: true });
  fs.writeFileSync(output, renderSvg({ waveform, trim, title }));
  process.stderr.write(`wrote ${output}\n`);
}

if (require.main === module) main();

module.exports = { renderSvg };
