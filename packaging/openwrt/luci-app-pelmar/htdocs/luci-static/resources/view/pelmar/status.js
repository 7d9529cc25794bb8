'use strict';
'require view';
'require poll';
'require rpc';
'require uci';
'require dom';

// pelmar's state, read from the status file the daemon writes, every 5 s. Every figure that is
// empty or zero says why, and a call that fails says what is missing, never a bare RPC error.

var callGetStatus = rpc.declare({
	object: 'luci.pelmar',
	method: 'getStatus',
	reject: true
});

// What the settings say about figures that are empty or zero; defaults as the package's.
function settingsOf(section) {
	section = section || {};
	return {
		enabled: section.enabled == '1',
		interface: section.interface || 'mon0',
		fullUrl: section.full_url || '',
		spoolDir: section.spool_dir || '',
		clockFile: section.clock_synced_file || '',
		countDevices: section.count_devices == '1' || section.count_only == '1',
		ownFile: section.conf_file || ''
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

function bytes(count) {
	if (count < 1024)
		return _('%d bytes').format(count);
	return _('%.1f KiB').format(count / 1024);
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
		var capture = status && status.capture,
		    at = seconds(status && status.updated);

		if (!capture || !has(capture.frames) || at === null)
			return;
		var run = status.pid + ' ' + status.started,
		    last = this.previous;
		if (last && last.run == run && at > last.at && capture.frames >= last.frames)
			this.rate = (capture.frames - last.frames) / (at - last.at);
		else if (last && (last.run != run || capture.frames < last.frames))
			this.rate = null;
		if (!last || at != last.at)
			this.previous = { run: run, at: at, frames: capture.frames };
	},

	// The rows [key, label, value, why] shown for reply `reply`.
	figures: function(reply, settings) {
		var status = reply.status || null,
		    capture = (status && status.capture) || {},
		    window_ = (status && status.window) || {},
		    table = (status && status.table) || {},
		    upload = (status && status.upload) || {},
		    spool = (status && status.spool) || {},
		    clock = (status && status.clock) || {},
		    up = reply.running,
		    live = up && status && !reply.error,
		    rows = [];

		// Nothing is known, not even whether it runs: the banner says why.
		if (reply.callError)
			return [['running', _('Service'), '—', _('unknown: the status could not be read (see above)')]];

		var stopped = settings.enabled
			? _('pelmar is not running: procd has no running instance (see logread -e pelmar)')
			: _('pelmar is not running: it is not enabled (Services → pelmar, Enable)');
		var noStatus = up ? _('the daemon has written no status yet') : stopped;
		// The reason a figure of the capture is empty or zero, or null when it is not.
		var captureQuiet = !up ? stopped
			: !status ? noStatus
			: capture.state == 'waiting' ? _('waiting for %s: the interface is missing or down').format(capture.source || settings.interface)
			: capture.state == 'ended' ? _('the input has ended')
			: null;

		rows.push(['running', _('Service'), up ? _('running') : _('not running'),
			up ? null : stopped]);

		var state = {
			capturing: _('capturing from %s'),
			waiting: _('waiting for %s'),
			replaying: _('replaying %s'),
			ended: _('ended: %s read to its end')
		}[capture.state];
		rows.push(['capture', _('Capture'),
			state ? state.format(capture.source || '?') : (capture.state || _('unknown')),
			captureQuiet && capture.state != 'ended' ? captureQuiet : null]);

		if (status)
			this.updateRate(status);
		var rate = this.rate;
		rows.push(['rate', _('Frames per second'),
			has(rate) ? '%.1f'.format(rate) : '—',
			captureQuiet ? captureQuiet
				: !has(rate) ? _('measuring: it takes two status files (one per report interval, or at a change)')
				: rate == 0 ? _('no frame heard since the previous status: is the monitor interface on a busy channel?')
				: null]);
		rows.push(['frames', _('Frames read since start'), has(capture.frames) ? String(capture.frames) : '—',
			!has(capture.frames) || capture.frames == 0 ? (captureQuiet || _('no frame heard yet')) : null]);
		rows.push(['dropped', _('Dropped by the capture'), has(capture.dropped) ? String(capture.dropped) : '—',
			!has(capture.dropped) ? (captureQuiet || noStatus)
				: capture.dropped == 0 ? (capture.state == 'capturing' && capture.source != 'stdin'
					? _('none: the kernel kept up') : _('the capture cannot tell drops here'))
				: null]);

		var windowNone = !window_.end
			? (captureQuiet || _('no document made yet: the first comes after one report interval'))
			: null;
		rows.push(['window', _('Last window'), window_.end || '—', windowNone]);
		rows.push(['devices', _('Devices in the last window'), has(window_.devices) ? String(window_.devices) : '—',
			windowNone ? windowNone
				: !has(window_.devices) ? _('not counted: count_devices is off (Services → pelmar, Counting and privacy)')
				: window_.devices == 0 ? (captureQuiet || _('no device heard in that window'))
				: null]);
		rows.push(['addresses', _('Records in the last document'), has(window_.addresses) ? String(window_.addresses) : '—',
			windowNone ? windowNone
				: window_.addresses == 0 ? (captureQuiet || _('no address heard in that window'))
				: null]);
		rows.push(['records', _('Records in the table'), has(table.records) ? String(table.records) : '—',
			!has(table.records) ? (captureQuiet || noStatus)
				: table.records == 0 ? (captureQuiet || _('no device heard yet'))
				: null]);

		var uploadText, uploadWhy = null;
		if (!has(upload.ok)) {
			uploadText = '—';
			uploadWhy = !status ? noStatus
				: !settings.fullUrl && !settings.ownFile ? _('uploads are off: no full_url is set (Services → pelmar, Reporting)')
				: _('no upload yet: the first comes after one report interval');
		}
		else if (upload.ok) {
			uploadText = has(upload.status)
				? _('delivered at %s (HTTP %d)').format(upload.last || '?', upload.status)
				: _('delivered at %s').format(upload.last || '?');
		}
		else {
			uploadText = _('failed at %s: %s').format(upload.last || '?', upload.error || _('no reason given'));
			uploadWhy = has(upload.status) ? _('HTTP %d').format(upload.status) : null;
		}
		rows.push(['upload', _('Last upload'), uploadText, uploadWhy]);
		rows.push(['failures', _('Consecutive failed uploads'), has(upload.failures) ? String(upload.failures) : '—',
			!has(upload.failures) ? (status ? uploadWhy : noStatus)
				: upload.failures == 0 ? (upload.ok === true ? _('the last upload was delivered') : uploadWhy)
				: null]);

		var spoolWhy = null;
		if (!has(spool.files))
			spoolWhy = noStatus;
		else if (spool.files == 0)
			spoolWhy = (settings.spoolDir || settings.ownFile)
				? _('empty: nothing waits to be sent again')
				: _('no spool: spool_dir is not set, so a failed upload is lost (Services → pelmar, Storage)');
		rows.push(['spool', _('Spool'), has(spool.files)
			? _('%d files, %s').format(spool.files, bytes(spool.bytes || 0)) : '—', spoolWhy]);

		var clockText, clockWhy = null;
		if (clock.synced === true)
			clockText = _('synchronised');
		else if (clock.synced === false) {
			clockText = _('not synchronised');
			clockWhy = _('NTP has not answered yet: documents are marked "clockSynced": false until it does');
		}
		else {
			clockText = '—';
			clockWhy = status ? _('not checked: clock_synced_file is not set') : noStatus;
		}
		rows.push(['clock', _('Clock'), clockText, clockWhy]);

		rows.push(['age', _('Status age'), has(reply.age) ? _('%d s').format(reply.age) : '—',
			has(reply.age) ? (reply.error && up ? reply.error : null) : noStatus]);
		rows.push(['version', _('Daemon'), status && status.version
			? _('%s, pid %s, started %s').format(status.version, status.pid, status.started || '?') : '—',
			status ? null : noStatus]);
		return rows;
	},

	// The banner above the figures: what is wrong, in words, or nothing.
	banner: function(reply, settings) {
		if (reply.callError)
			return reply.callError;
		if (!reply.error)
			return null;
		if (!reply.running)
			return settings.enabled
				? _('pelmar is not running. It is enabled but procd runs no instance: see logread -e pelmar for the reason (a refused option names itself).')
				: _('pelmar is not running: it is not enabled. Enable it under Services → pelmar.');
		if (reply.error == 'no status yet')
			return _('No status yet: pelmar runs but has not written its status file. Its init script sets status_file; the first status comes at the first change or report turn.');
		return _('The status cannot be trusted: %s.').format(reply.error);
	},

	draw: function(reply, settings) {
		var rows = this.figures(reply, settings),
		    message = this.banner(reply, settings);

		dom.content(this.bannerNode, message
			? E('div', { 'class': 'alert-message warning', 'data-figure': 'banner' }, [ message ])
			: '');
		dom.content(this.tableNode, rows.map(function(row) {
			return E('tr', { 'class': 'tr', 'data-figure': row[0] }, [
				E('td', { 'class': 'td left', 'width': '33%' }, [ row[1] ]),
				E('td', { 'class': 'td left' }, [
					E('strong', { 'data-value': '' }, [ row[2] ]),
					row[3] ? E('div', { 'class': 'cbi-value-description', 'data-why': '' }, [ row[3] ]) : ''
				])
			]);
		}));
	},

	refresh: function() {
		// Settings saved meanwhile change the reasons given.
		uci.unload('pelmar');
		return this.load().then(L.bind(function(data) {
			this.draw(data[0], settingsOf(uci.get('pelmar', 'main')));
		}, this));
	},

	render: function(data) {
		this.bannerNode = E('div', { 'id': 'pelmar-banner' });
		this.tableNode = E('table', { 'class': 'table', 'id': 'pelmar-figures' });
		var node = E('div', { 'class': 'cbi-map' }, [
			E('h2', {}, [ _('pelmar') ]),
			E('div', { 'class': 'cbi-map-descr' }, [
				_('Wireless devices heard nearby, as the daemon last reported them. Refreshed every 5 seconds.')
			]),
			this.bannerNode,
			E('div', { 'class': 'cbi-section' }, [ this.tableNode ])
		]);

		this.draw(data[0], settingsOf(uci.get('pelmar', 'main')));
		poll.add(L.bind(this.refresh, this), 5);
		return node;
	},

	handleSave: null,
	handleSaveApply: null,
	handleReset: null
});
