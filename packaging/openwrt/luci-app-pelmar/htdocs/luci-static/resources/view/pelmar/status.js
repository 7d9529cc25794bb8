'use strict';
'require view';
'require poll';
'require rpc';
'require uci';
'require dom';
'require fs';
'require ui';

// pelmar's state, read every 5 s from the status file the daemon writes (through the app's
// rpcd plugin, which answers codes): a banner with what is wrong and what to do, the figures,
// a day of windows as a chart, and the daemon's log with a restart button.

var callGetStatus = rpc.declare({ object: 'luci.pelmar', method: 'getStatus', reject: true });
var callRestart = rpc.declare({ object: 'luci.pelmar', method: 'restart', reject: true });

var LOG_LINES = 200;
var SETTINGS = 'admin/services/pelmar';

// What the settings say; defaults as the package's.
function settingsOf(section) {
	section = section || {};
	return {
		enabled: section.enabled == '1',
		interface: section.interface || 'mon0',
		countDevices: section.count_devices == '1' || section.count_only == '1'
	};
}

// Why the status call failed, in words the router's owner can act on.
function callFailure(err) {
	var text = String((err && err.message) || err),
	    code = text.match(/failed with (?:ubus code|error) (-?\d+)/),
	    http = text.match(/HTTP error (\d+)/);

	code = code ? +code[1] : null;
	if (code == -32000 || code == 4)
		return _('rpcd does not know the object luci.pelmar: the plugin /usr/share/rpcd/ucode/luci.pelmar is missing, or rpcd has not read it yet (install luci-app-pelmar and rpcd-mod-ucode, then run /etc/init.d/rpcd reload).');
	if (code == -32601 || code == 3)
		return _('The luci.pelmar plugin has no method getStatus: reinstall luci-app-pelmar.');
	if (code == -32002 || code == 6)
		return _('This login may not read pelmar\'s status: its user lacks the access group luci-app-pelmar, or the session has ended (log in again).');
	if (code == 7)
		return _('The luci.pelmar plugin did not answer in time.');
	if (http)
		return _('The router answered the status call with HTTP %s: is its web server (uhttpd with the ubus module) running?').format(http[1]);
	if (/timed out|timeout|NetworkError|Failed to fetch|XHR request/i.test(text))
		return _('The router did not answer: check the connection to it.');
	return _('The status could not be read (%s).').format(text);
}

function has(value) {
	return value !== null && value !== undefined;
}

// Seconds since the epoch of the daemon's "2026-12-08T19:00:05+00:00", or null.
function seconds(stamp) {
	var ms = stamp ? Date.parse(stamp) : NaN;
	return isNaN(ms) ? null : ms / 1000;
}

function number(n) {
	return has(n) ? Number(n).toLocaleString() : '—';
}

// "3 min ago" for `age` seconds.
function ago(age) {
	age = Math.max(0, Math.round(age));
	if (age < 90)
		return N_(age, '%d second ago', '%d seconds ago').format(age);
	if (age < 5400)
		return _('%d min ago').format(Math.round(age / 60));
	if (age < 172800)
		return _('%d h ago').format(Math.round(age / 3600));
	return N_(Math.round(age / 86400), '%d day ago', '%d days ago').format(Math.round(age / 86400));
}

// A daemon's date in the browser's local time with its age, or "—".
function when(stamp) {
	var at = seconds(stamp);
	return at === null ? '—' : _('%s (%s)').format(new Date(at * 1000).toLocaleString(), ago(Date.now() / 1000 - at));
}

// procd's exit status in words: 128 + N is signal N (of the 64 there are).
function exitWords(code) {
	return code > 128 && code <= 192 ? _('killed by signal %d').format(code - 128) : _('exit status %d').format(code);
}

// A link within a banner line, in the line's own colour.
function link(path, text) {
	return E('a', { 'href': path.charAt(0) == '#' ? path : L.url(path), 'style': 'color:inherit;text-decoration:underline' }, [ text ]);
}

return view.extend({
	// The reading before the latest one with a different "updated", for frames per second.
	previous: null,
	rate: null,

	load: function() {
		return Promise.all([
			callGetStatus().catch(function(err) { return { callError: callFailure(err) }; }),
			uci.load('pelmar').catch(function() { return null; })
		]);
	},

	// Frames per second between the two latest distinct status files of one run.
	updateRate: function(status) {
		var capture = status.capture || {},
		    at = seconds(status.updated),
		    run = status.pid + ' ' + status.started,
		    last = this.previous;

		if (!has(capture.frames) || at === null)
			return;
		if (last && last.run == run && at > last.at && capture.frames >= last.frames)
			this.rate = (capture.frames - last.frames) / (at - last.at);
		else if (last && (last.run != run || capture.frames < last.frames))
			this.rate = null;
		if (!last || at != last.at)
			this.previous = { run: run, at: at, frames: capture.frames };
	},

	// The problems [key, level, text, link] shown above the figures, most serious first.
	problems: function(reply, settings) {
		var status = reply.status || {},
		    capture = status.capture || {},
		    upload = status.upload || {},
		    service = reply.service || {},
		    list = [],
		    fix = link(SETTINGS, _('Open the settings'));

		if (reply.callError)
			return [['call', 'error', reply.callError, null]];

		if (service.state == 'respawning' || service.state == 'exited')
			list.push(['crash', 'error', (service.state == 'respawning'
				? _('pelmar keeps stopping (%s): procd starts it again every %d s. Its log below says why.').format(exitWords(service.exit_code), service.respawn_timeout || 5)
				: _('pelmar stopped (%s) and procd does not start it again. Its log below says why.').format(exitWords(service.exit_code))), fix]);
		else if (!reply.running)
			list.push(['stopped', 'error', settings.enabled
				? _('pelmar is not running: procd runs no instance of it. Restart it below; its log says why it stopped.')
				: _('pelmar is not running: it is not enabled. Enable it in the settings.'), fix]);

		var file = {
			'no-status-file': _('The daemon writes no status: its own daemon file sets no status file.'),
			'folder': _('The status file is not in a folder of the daemon\'s own (a directory of user pelmar that only it may write in): it is not read.'),
			'link': _('The status file is a symbolic link, not the daemon\'s file: it is not read.'),
			'owner': _('The status file does not belong to user pelmar: it is not read.'),
			'not-file': _('The status file is not a regular file: it is not read.'),
			'too-large': _('The status file is too large to be the daemon\'s: it is not read.'),
			'unreadable': _('The status file cannot be read.'),
			'not-json': _('The status file is not JSON: a half-written or foreign file.')
		}[reply.error];
		if (file)
			list.push(['file', 'error', file, link(SETTINGS, _('Status file'))]);
		else if (reply.running && reply.error == 'missing')
			list.push(['nostatus', 'notice', _('No status yet: pelmar runs but has not written its status file.'), null]);

		// What follows is about the running daemon; a stopped one's last status is not news.
		if (!reply.running)
			return list;

		// A stuck daemon's figures below are old: that comes first.
		if (reply.error == 'stale')
			list.push(['stale', 'warning', _('The status was last written %s, though the daemon writes it every %d s: it may be stuck. Restart it below.').format(ago(reply.age), reply.interval), link('#pelmar-log', _('Restart'))]);

		if (capture.state == 'refused')
			list.push(['refused', 'error', _('Capture refused since %s: %s. The daemon may not capture on this router; check the package\'s capabilities and the interface.').format(when(capture.since), capture.error || '?'), link(SETTINGS, _('Interface'))]);
		else if (capture.state == 'waiting')
			list.push(['waiting', 'warning', _('Waiting for the interface %s since %s: it is missing or down. Create the monitor interface, or choose another.').format(capture.source || settings.interface, when(capture.since)), link(SETTINGS, _('Interface'))]);

		if (upload.ok === false && upload.failures > 0) {
			var since = seconds(upload.last) - (upload.failures - 1) * (reply.interval || 60),
			    lost = !reply.spool;
			list.push(['upload', lost ? 'error' : 'warning', [
				N_(upload.failures, '%d upload failed, since %s: %s.', '%d uploads failed in a row, since about %s: %s.')
					.format(upload.failures, when(new Date(since * 1000).toISOString()), upload.error || '?'),
				' ',
				lost ? _('Without a spool the documents are being lost: set a spool directory.')
					: _('The documents wait in the spool; check the upload URL and the collector.')
			], link(SETTINGS, lost ? _('Spool directory') : _('Upload URL'))]);
		}

		if (status.clock && status.clock.synced === false)
			list.push(['clock', 'warning', reply.ntp === false
				? _('The clock is not synchronised: NTP is disabled in the system settings. Documents carry "clockSynced": false until it is.')
				: _('The clock is not synchronised: NTP has not answered yet. Documents carry "clockSynced": false until it does.'),
				link('admin/system/system', _('Time synchronisation'))]);
		return list;
	},

	// The figure shown big: devices in the last window, or its addresses when not counted.
	headline: function(status, settings) {
		var window_ = status.window || {};
		if (has(window_.devices))
			return N_(window_.devices, '%s device in the last window', '%s devices in the last window').format(number(window_.devices));
		if (has(window_.addresses))
			return N_(window_.addresses, '%s address in the last window', '%s addresses in the last window').format(number(window_.addresses));
		var records = (status.table || {}).records || 0;
		return N_(records, '%s address heard so far', '%s addresses heard so far').format(number(records));
	},

	// The rows [key, label, value, why] shown for reply `reply`; a reason said in the banner is
	// not said again here.
	figures: function(reply, settings) {
		var status = reply.status || {},
		    capture = status.capture || {},
		    window_ = status.window || {},
		    upload = status.upload || {},
		    spool = status.spool || {},
		    clock = status.clock || {},
		    service = reply.service || {},
		    rows = [];

		rows.push(['running', _('Service'), reply.running ? _('running (pid %d)').format(service.pid)
			: service.state == 'respawning' ? _('restarting') : _('not running'), null]);
		var state = {
			capturing: _('capturing from %s'), waiting: _('waiting for %s'), refused: _('refused on %s'),
			replaying: _('replaying %s'), ended: _('ended: %s read to its end')
		}[capture.state];
		rows.push(['capture', _('Capture'), state ? state.format(capture.source || '?') : '—', null]);
		rows.push(['rate', _('Frames per second'), has(this.rate) ? this.rate.toLocaleString(undefined, { maximumFractionDigits: 1 }) : '—',
			reply.running && capture.state == 'capturing' && !has(this.rate) ? _('measuring: it takes two status files') : null]);
		rows.push(['frames', _('Frames read since start'), number(capture.frames), null]);
		rows.push(['dropped', _('Dropped by the capture'), number(capture.dropped), null]);
		rows.push(['window', _('Last window'), when(window_.end),
			reply.running && !window_.end && status.updated ? _('the first comes after one report interval') : null]);
		if (settings.countDevices || has(window_.devices))
			rows.push(['devices', _('Devices in the last window'), number(window_.devices), null]);
		rows.push(['addresses', _('Addresses in the last window'), number(window_.addresses),
			settings.countDevices || !window_.end ? null : _('Count devices is off: addresses, not devices')]);
		rows.push(['records', _('Records in the table'), number((status.table || {}).records), null]);
		rows.push(['upload', _('Last upload'), !has(upload.ok) ? '—'
			: upload.ok ? (has(upload.status) ? _('delivered %s (HTTP %d)').format(when(upload.last), upload.status) : _('delivered %s').format(when(upload.last)))
			: _('failed %s').format(when(upload.last)), null]);
		rows.push(['spool', _('Spool'), has(spool.files)
			? (spool.files || reply.spool
				? N_(spool.files, '%s file, %s', '%s files, %s').format(number(spool.files), '%1024mB'.format(spool.bytes || 0))
				: _('off'))
			: '—', null]);
		rows.push(['clock', _('Clock'), clock.synced === true ? _('synchronised')
			: clock.synced === false ? _('not synchronised') : has(status.clock) ? _('not checked') : '—', null]);
		rows.push(['age', _('Status written'), when(status.updated), null]);
		// procd's pid is on the Service row: a jailed daemon sees itself as pid 1.
		rows.push(['version', _('Daemon'), status.version
			? _('%s, started %s').format(status.version, when(status.started)) : '—', null]);
		return rows;
	},

	// A day of windows as a line: devices per window, or addresses when not counted. The line
	// is drawn in a fixed box that the browser stretches to the page's width.
	chart: function(history) {
		var points = (Array.isArray(history) ? history : []).filter(function(p) { return p && seconds(p.end) !== null; }),
		    counted = points.some(function(p) { return has(p.devices); }),
		    values = points.map(function(p) { return +((counted ? p.devices : p.addresses) || 0); });

		if (!points.length)
			return E('p', { 'data-chart': 'empty' }, [ _('No window yet: the chart fills as the daemon makes documents.') ]);
		var w = 600, h = 160,
		    peak = Math.max.apply(null, values),
		    first = seconds(points[0].end),
		    last = seconds(points[points.length - 1].end),
		    xy = values.map(function(v, i) {
		    	var x = last > first ? (seconds(points[i].end) - first) / (last - first) * w : w / 2;
		    	return x.toFixed(1) + ',' + (h - v / Math.max(peak, 1) * (h - 10)).toFixed(1);
		    }).join(' '),
		    box = E('div', { 'style': 'max-width:100%;overflow:hidden' });

		box.innerHTML = ('<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 %d %d" preserveAspectRatio="none" width="100%%" height="%d" role="img">' +
			'<line x1="0" y1="%d" x2="%d" y2="%d" stroke="#888" stroke-width="1"/>' +
			'<polyline fill="none" stroke="#0069d6" stroke-width="2" vector-effect="non-scaling-stroke" points="%s"/></svg>')
			.format(w, h, h, h, w, h, xy);
		return E('div', { 'data-chart': counted ? 'devices' : 'addresses', 'data-points': points.length,
			'data-last': points[points.length - 1].end }, [
			E('div', { 'class': 'cbi-section-descr' }, [ (counted
				? _('Devices per window, at most %s') : _('Addresses per window, at most %s')).format(number(peak)) ]),
			box,
			E('div', { 'class': 'cbi-section-descr' }, [ _('%s to %s').format(
				new Date(first * 1000).toLocaleString(), new Date(last * 1000).toLocaleString()) ])
		]);
	},

	draw: function(reply, settings) {
		var status = reply.status || {};

		if (reply.status)
			this.updateRate(reply.status);
		dom.content(this.bannerNode, this.problems(reply, settings).map(function(p) {
			return E('div', { 'class': 'alert-message ' + p[1], 'data-problem': p[0] },
				[].concat(p[2], p[3] ? [ ' ', p[3] ] : []));
		}));
		dom.content(this.headlineNode, reply.status ? this.headline(status, settings) : '');
		dom.content(this.tableNode, this.figures(reply, settings).map(function(row) {
			return E('tr', { 'class': 'tr', 'data-figure': row[0] }, [
				E('td', { 'class': 'td left', 'width': '33%' }, [ row[1] ]),
				E('td', { 'class': 'td left' }, [
					E('strong', { 'data-value': '' }, [ row[2] ]),
					row[3] ? E('div', { 'class': 'cbi-value-description', 'data-why': '' }, [ row[3] ]) : ''
				])
			]);
		}));
		dom.content(this.chartNode, this.chart(status.history));
	},

	// The daemon's own lines of the system log, newest first: not those of ujail, which runs it
	// under the same name.
	loadLog: function() {
		return fs.exec('/sbin/logread', [ '-e', '^pelmar\\[' ]).then(L.bind(function(res) {
			var lines = String(res.stdout || '').split('\n').filter(function(line) {
				return /^\w+ \w+ +\d+ [\d:]+ \d+ \w+\.\w+ pelmar\[\d+\]: (?!jail: )/.test(line);
			}).reverse().slice(0, LOG_LINES);
			dom.content(this.logNode, lines.length ? lines.join('\n') : _('No line of pelmar in the system log.'));
		}, this)).catch(L.bind(function(err) {
			dom.content(this.logNode, _('The system log cannot be read: %s').format(err.message || err));
		}, this));
	},

	handleRestart: function() {
		return callRestart().then(function(res) {
			if (!res || !res.ok)
				ui.addNotification(null, E('p', [ _('pelmar could not be restarted (%s).').format((res && res.error) || '?') ]), 'error');
		}).catch(function(err) {
			ui.addNotification(null, E('p', [ _('pelmar could not be restarted: %s').format(callFailure(err)) ]), 'error');
		}).then(L.bind(this.refresh, this));
	},

	refresh: function() {
		// Settings saved meanwhile change the reasons given.
		uci.unload('pelmar');
		return Promise.all([ this.load(), this.loadLog() ]).then(L.bind(function(data) {
			this.draw(data[0][0], settingsOf(uci.get('pelmar', 'main')));
		}, this));
	},

	render: function(data) {
		this.bannerNode = E('div', { 'id': 'pelmar-banner' });
		this.headlineNode = E('h3', { 'id': 'pelmar-headline' });
		this.tableNode = E('table', { 'class': 'table', 'id': 'pelmar-figures' });
		this.chartNode = E('div', { 'id': 'pelmar-chart' });
		this.logNode = E('pre', { 'id': 'pelmar-log-lines', 'style': 'white-space:pre-wrap;word-break:break-all;max-height:30em;overflow-y:auto' });
		var node = E('div', { 'class': 'cbi-map' }, [
			E('h2', {}, [ _('pelmar') ]),
			E('div', { 'class': 'cbi-map-descr' }, [
				_('Wireless devices heard nearby, as the daemon last reported them. Refreshed every 5 seconds.') ]),
			this.bannerNode,
			this.headlineNode,
			E('div', { 'class': 'cbi-section' }, [ this.tableNode ]),
			E('div', { 'class': 'cbi-section' }, [ E('h3', {}, [ _('A day at a glance') ]), this.chartNode ]),
			E('div', { 'class': 'cbi-section', 'id': 'pelmar-log' }, [
				E('h3', {}, [ _('Log') ]),
				E('div', { 'class': 'cbi-section-actions' }, [
					E('button', {
						'class': 'cbi-button cbi-button-action', 'id': 'pelmar-restart',
						'disabled': L.hasViewPermission() ? null : true,
						'click': ui.createHandlerFn(this, 'handleRestart')
					}, [ _('Restart pelmar') ])
				]),
				this.logNode
			])
		]);

		this.draw(data[0], settingsOf(uci.get('pelmar', 'main')));
		this.loadLog();
		poll.add(L.bind(this.refresh, this), 5);
		return node;
	},

	handleSave: null,
	handleSaveApply: null,
	handleReset: null
});
