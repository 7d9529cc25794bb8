'use strict';
'require view';
'require form';
'require rpc';
'require dom';
'require ui';

// pelmar's settings: section 'main' of /etc/config/pelmar. Values are checked by the init
// script's own rules (LuCI's integer types take "060", which the script refuses; LuCI counts
// characters where the script counts bytes), so that nothing saved here stops the next start.
// Save & Apply reloads the service through its reload trigger on the config.

// The daemon reads at most this many bytes of a line ("key=value").
var LINE_MAX = 199;
// The daemon reads numbers into an int: a larger one would be read as this.
var INT_MAX = 2147483647;
// The kernel's limit on an interface name, in bytes; the init script's maxlength(15).
var IFNAME_MAX = 15;
// What the init script's [[:space:]] matches: busybox's sh runs in the C locale on a router.
var SPACE = '[ \\t\\n\\v\\f\\r]';
var ENDS_WITH_SPACE = new RegExp('^' + SPACE + '|' + SPACE + '$');
var STARTS_COMMENT = new RegExp(SPACE + ';');

var callGetMonitors = rpc.declare({
	object: 'luci.pelmar',
	method: 'getMonitors'
});

var callCreateMonitor = rpc.declare({
	object: 'luci.pelmar',
	method: 'createMonitor',
	params: [ 'radio' ]
});

// Length of `value` in bytes, as the init script and the daemon count it (UTF-8).
function bytes(value) {
	return new TextEncoder().encode(value).length;
}

// Why the daemon's file cannot carry the value as `key=value`, or null: the init script's
// refusal() — a line end, white space at either end, " ;" (a comment), a relative path for a
// directory or file, a line too long.
function textRefusal(key, value) {
	if (value.indexOf('\n') >= 0)
		return _('it holds a line end');
	if (ENDS_WITH_SPACE.test(value))
		return _('it starts or ends with white space');
	if (STARTS_COMMENT.test(value))
		return _('" ;" in it would start a comment');
	if (/(_dir|_file)$/.test(key) && value.charAt(0) != '/')
		return _('not an absolute path');
	if (key.length + 1 + bytes(value) > LINE_MAX)
		return _('longer than %d bytes (UTF-8)').format(LINE_MAX - key.length - 1);
	return null;
}

// A validator for a text option written to the daemon's file as `key`; `limit`: at most so
// many bytes (the init script's maxlength); `off`: a value that turns the option off.
function text(key, limit, off) {
	return function(section_id, value) {
		if (value === '' || value == null || value === off)
			return true;
		var why = textRefusal(key, value);
		if (!why && limit && bytes(value) > limit)
			why = _('longer than %d bytes (UTF-8): it has %d').format(limit, bytes(value));
		return why ? _('Refused: %s').format(why) : true;
	};
}

// A validator for a number as the init script takes it: decimal digits, a minus only where
// negative values are allowed, no leading zero or "+", within [lowest, highest]. `unsigned`: the
// script's uinteger, which takes no minus at all ("-0" neither); its ranges take "-0" as 0.
function number(lowest, highest, unsigned) {
	return function(section_id, value) {
		if (value === '' || value == null)
			return true;
		if (!/^-?(0|[1-9][0-9]*)$/.test(value))
			return _('Refused: not a decimal number (digits, without a leading zero or +)');
		if (unsigned && value.charAt(0) == '-')
			return _('Refused: digits only, no minus sign');
		var n = +value;
		if (n < lowest)
			return _('Refused: below %d').format(lowest);
		if (n > highest)
			return _('Refused: above %d').format(highest);
		return true;
	};
}

// What a failed call to the plugin means, in words.
function callFailure(err) {
	var message = String((err && err.message) || err);
	if (/Object not found/.test(message))
		return _('rpcd does not know the object luci.pelmar: install luci-app-pelmar again or restart rpcd');
	if (/Access denied|Permission denied/.test(message))
		return _('this login lacks the access group luci-app-pelmar');
	return message;
}

// A band as /etc/config/wireless names it, in words.
function bandText(band) {
	switch (band) {
	case '2g': return _('2.4 GHz');
	case '5g': return _('5 GHz');
	case '6g': return _('6 GHz');
	case '60g': return _('60 GHz');
	default: return _('band unknown');
	}
}

// "radio0, 2.4 GHz, channel 6" for a radio of getMonitors.
function radioText(radio) {
	var parts = [ radio.name, bandText(radio.band) ];
	if (radio.channel == null || radio.channel == 'auto')
		parts.push(_('channel chosen automatically'));
	else
		parts.push(_('channel %s').format(radio.channel));
	if (radio.disabled)
		parts.push(_('radio disabled'));
	return parts.join(', ');
}

// The label of a monitor interface in the choice: its name, radio, band and channel.
function monitorText(monitor, radios) {
	var radio = radios.filter(function(r) { return r.name == monitor.radio; })[0];
	var about = radio ? radioText(radio) : _('on no radio of /etc/config/wireless');
	if (monitor.disabled)
		about += ', ' + _('interface disabled');
	return _('%s (%s)').format(monitor.ifname, about);
}

// What createMonitor's answer says: an alert's kind ("error" when nothing was made) and its
// words.
function createdText(answer) {
	var lines = [];
	if (answer.error == 'radio')
		return [ 'error', _('That radio is not a wifi-device of /etc/config/wireless (any more): reload the page.') ];
	if (answer.error == 'names')
		return [ 'error', _('No free name from mon0 to mon99 in /etc/config/wireless.') ];
	if (answer.error == 'commit')
		return [ 'error', _('/etc/config/wireless could not be written.') ];
	if (answer.error || !answer.ifname)
		return [ 'error', _('luci.pelmar answered what this page does not know: %s').format(JSON.stringify(answer)) ];
	lines.push(_('Monitor interface %s was written on radio %s and selected above: Save & Apply to capture from it.').format(answer.ifname, answer.radio));
	if (answer.radio_enabled)
		lines.push(_('The radio %s was disabled and is now enabled.').format(answer.radio));
	if (answer.reload != 0)
		lines.push(_('"wifi reload" ended with status %d: the interface may appear only after the next wifi reload or reboot.').format(answer.reload));
	return [ answer.reload != 0 ? 'warning' : 'notice', lines.join(' ') ];
}

// The offer to create a monitor interface where /etc/config/wireless has none: a radio to pick
// and a button; the new interface is added to `choice` (the interface option) and selected.
function monitorOffer(found, choice, section_id, readonly) {
	var caution = _('A radio in monitor mode may stop serving its wireless clients on some hardware: pick a radio that no one depends on, or a spare one.');
	if (!found.radios.length)
		return E('div', { 'class': 'alert-message warning' }, [
			E('p', _('/etc/config/wireless has no monitor interface and no radio to make one on: capture needs a wireless radio.'))
		]);
	var labels = {};
	found.radios.forEach(function(r) { labels[r.name] = radioText(r); });
	var radio = new ui.Select(found.radios[0].name, labels, {
		id: 'pelmar-monitor-radio', sort: true, disabled: readonly });
	var answer = E('div', { 'data-monitor': 'answer' });
	var offer = E('div', { 'data-monitor': 'offer' }, [
		E('div', { 'class': 'alert-message warning' }, [
			E('p', _('/etc/config/wireless has no wifi-iface in monitor mode. One can be made here on a radio: it is written and wifi is reloaded at once.')),
			E('p', [ E('strong', caution) ])
		]),
		// On a phone the button goes below the radio's whole label.
		E('div', { 'style': 'display:flex;flex-wrap:wrap;gap:.5em' }, [
			radio.render(),
			E('button', {
				'class': 'cbi-button cbi-button-add',
				'disabled': readonly ? '' : null,
				'click': ui.createHandlerFn(null, function() {
					return callCreateMonitor(radio.getValue()).then(function(made) {
						var said = createdText(made || {});
						if (said[0] != 'error') {
							var widget = choice.getUIElement(section_id);
							found.radios.forEach(function(r) {
								if (r.name == made.radio)
									r.disabled = false;
							});
							var label = monitorText({ ifname: made.ifname, radio: made.radio },
								found.radios);
							var choices = {};
							choices[made.ifname] = label;
							widget.addChoices([ made.ifname ], choices);
							widget.setValue(made.ifname);
							widget.triggerValidation();
							offer.style.display = 'none';
						}
						dom.content(answer, E('div', { 'class': 'alert-message ' + said[0] }, said[1]));
					}, function(err) {
						dom.content(answer, E('div', { 'class': 'alert-message error' },
							_('The monitor interface could not be made: %s').format(callFailure(err))));
					});
				})
			}, _('Create a monitor interface'))
		])
	]);
	return E('div', [ offer, answer ]);
}

return view.extend({
	load: function() {
		// A missing plugin or grant leaves the interface to be typed, with the reason said.
		return callGetMonitors().catch(function(err) {
			return { failure: callFailure(err), radios: [], monitors: [] };
		});
	},

	render: function(found) {
		var m, s, o;

		m = new form.Map('pelmar', _('pelmar'),
			_('Counts the wireless devices heard nearby and uploads the table as JSON. Each start of the service checks these settings and writes the daemon\'s own file from them.'));

		s = m.section(form.NamedSection, 'main', 'pelmar');
		s.anonymous = true;
		s.addremove = false;

		s.tab('capture', _('Capture'));
		s.tab('reporting', _('Reporting'));
		s.tab('counting', _('Counting and privacy'));
		s.tab('storage', _('Storage'));

		// A checkbox writes its value even when it equals the default, so that what is shown
		// is what the file holds.
		function flag(tab, name, title, description, preset) {
			var f = s.taboption(tab, form.Flag, name, title, description);
			f.default = preset;
			f.rmempty = false;
			return f;
		}

		// A text or number field; `check` validates it, `placeholder` shows what empty means
		// (none where empty turns the feature off).
		function field(tab, name, title, description, check, placeholder) {
			var f = s.taboption(tab, form.Value, name, title, description);
			if (check)
				f.validate = check;
			if (placeholder != null)
				f.placeholder = placeholder;
			return f;
		}

		// An option shown only where `depends` holds; hidden, it keeps its value on save
		// (LuCI would delete it), so that turning a feature off and on again loses nothing.
		function dependent(f, depends) {
			f.depends(depends);
			f.retain = true;
			return f;
		}

		/* Capture */
		flag('capture', 'enabled', _('Enable'),
			_('Starts the service (set the upload URL first).'), '0');
		var iface = field('capture', 'interface', _('Interface'),
			_('The monitor interface (a wifi-iface in monitor mode) to capture from natively through libpcap; the daemon waits for it and carries on when it comes back. Pick one of /etc/config/wireless, or type a name (at most 15 bytes).'),
			text('capture_interface', IFNAME_MAX), 'mon0');
		iface.default = 'mon0';
		var named = found.monitors.filter(function(mon) { return mon.ifname != null; });
		named.forEach(function(mon) { iface.value(mon.ifname, monitorText(mon, found.radios)); });
		// The name shown is always a choice, so that the widget is a list to add a new
		// interface to; one that is no monitor interface is said so.
		iface.renderWidget = function(section_id, option_index, cfgvalue) {
			var shown = cfgvalue != null ? cfgvalue : this.default;
			if ((this.keylist || []).indexOf(shown) < 0)
				this.value(shown, _('%s (no monitor interface of /etc/config/wireless)').format(shown));
			return form.Value.prototype.renderWidget.apply(this, arguments);
		};
		if (found.failure) {
			o = s.taboption('capture', form.DummyValue, '_monitors', _('Monitor interfaces'));
			o.renderWidget = function() {
				return E('div', { 'class': 'alert-message warning' },
					_('The monitor interfaces of /etc/config/wireless could not be listed: %s. Type the interface\'s name.').format(found.failure));
			};
		}
		else if (named.length < found.monitors.length || !found.monitors.length) {
			o = s.taboption('capture', form.DummyValue, '_monitors', _('Monitor interfaces'));
			o.renderWidget = function(section_id) {
				if (found.monitors.length)
					return E('div', { 'class': 'alert-message notice' },
						_('A wifi-iface in monitor mode has no interface name yet (section %s): set its ifname, or reload wifi, to choose it here.')
							.format(found.monitors.filter(function(mon) { return mon.ifname == null; })
								.map(function(mon) { return mon.section; }).join(', ')));
				return monitorOffer(found, iface, section_id, this.map.readonly);
			};
		}
		field('capture', 'filter', _('Capture filter'),
			_('The capture filter (libpcap syntax), run in the kernel for an interface; empty: management frames and data frames whose sender is the station itself.'),
			text('capture_filter'), 'type mgt or (type data and (dir nods or dir tods))');
		field('capture', 'min_signal', _('Weakest signal (dB)'),
			_('Readings with a signal below this many dB are ignored entirely (0, no signal, is kept); empty: off.'),
			number(-150, 0));
		flag('capture', 'skip_random_macs', _('Skip random addresses'),
			_('Readings of locally administered (randomised) addresses are ignored entirely.'), '0');
		field('capture', 'max_entry_age', _('Device age limit (s)'),
			_('Seconds after its latest reading at which a device is dropped; 0 keeps devices for ever.'),
			number(0, INT_MAX, true), '300');
		field('capture', 'max_devices', _('Devices kept at most'),
			_('Records at most; a new address then replaces the record heard least recently; 0: no cap.'),
			number(0, INT_MAX, true), '20000');

		/* Reporting */
		field('reporting', 'full_url', _('Upload URL'),
			_('Where the JSON document is POSTed; empty: uploads are off.'),
			text('full_url'));
		field('reporting', 'report_time', _('Report interval (s)'),
			_('Seconds between two uploads (0: every second).'),
			number(0, INT_MAX, true), '60');
		field('reporting', 'upload_timeout', _('Upload time limit (s)'),
			_('Seconds an upload may run before it is ended, and curl\'s own --max-time; 0: no limit.'),
			number(0, INT_MAX, true), '30');
		flag('reporting', 'verify_tls', _('Check the certificate'),
			_('curl checks the endpoint\'s certificate against the system\'s store (ca-bundle).'), '1');

		/* Counting and privacy */
		flag('counting', 'count_devices', _('Count devices'),
			_('Link the random addresses that one phone uses into one device: each document gains "devices", the distinct devices heard since the previous one, and each record a "device" naming its group.'), '0');
		flag('counting', 'count_only', _('Count only'),
			_('Documents carry only the device count, no address or device name (turns Count devices on by itself).'), '0');
		flag('counting', 'mac_privacy', _('Pseudonyms'),
			_('Every address in the document, backups, spool and console table is replaced by its pseudonym.'), '0');
		o = dependent(field('counting', 'mac_secret', _('Pseudonyms\' secret'),
			_('The pseudonyms\' secret (text), made at install and kept; empty: a random one for each run.'),
			text('mac_secret')), { mac_privacy: '1' });
		o.password = true;
		o = dependent(s.taboption('counting', form.ListValue, 'mac_rotation', _('Pseudonym rotation'),
			_('daily: the pseudonyms\' key changes at each UTC midnight, and the table starts a new day; none: a fixed key.')),
			{ mac_privacy: '1' });
		o.value('none', _('none'));
		o.value('daily', _('daily'));
		o.default = 'none';

		/* Storage */
		field('storage', 'spool_dir', _('Spool directory'),
			_('Keeps documents whose upload failed (and the last one on a stop) in this directory, made when missing, and sends them later, oldest first; empty: off. Under /tmp or /var it is in RAM, as the package sets it up: lost at a reboot, and taken from the memory the table and curl need. Elsewhere it survives reboots; on the router\'s own flash it wears it: prefer a USB stick or SD card.'),
			text('spool_dir'));
		dependent(field('storage', 'spool_max_kb', _('Spool limit (KiB)'),
			_('Size limit of the spool (1024 KiB: 1 MiB); the oldest files are dropped first.'),
			number(1, 1048576), '1024'), { spool_dir: /\S/ });
		flag('storage', 'backup', _('Backups'),
			_('Each upload is also written to the backup directory; off stops backups.'), '0');
		dependent(field('storage', 'backup_dir', _('Backup directory'),
			_('Directory for backups (RAM under /tmp).'),
			text('backup_dir'), '/tmp/pelmar'), { backup: '1' });
		dependent(field('storage', 'backup_max_files', _('Backup files at most'),
			_('After each backup, the oldest backup files beyond this many are removed; 0: no limit.'),
			number(0, 100000), '200'), { backup: '1' });
		dependent(field('storage', 'backup_max_kb', _('Backups at most (KiB)'),
			_('After each backup, the oldest backup files beyond this many KiB together are removed; 0: no limit.'),
			number(0, 1048576), '2048'), { backup: '1' });
		field('storage', 'status_file', _('Status file'),
			_('The daemon writes its state here (by rename) at every report turn and change of state; the status page reads it.'),
			text('status_file'), '/var/run/pelmar/status.json');
		field('storage', 'clock_synced_file', _('Clock synchronised marker'),
			_('The clock counts as synchronised once this file exists (made by the NTP hotplug script); documents made before carry "clockSynced": false. "none": no check, for a clock set otherwise.'),
			text('clock_synced_file', null, 'none'), '/var/run/pelmar/clock-synced');
		// Not written to the daemon's file: the init script checks only that it is a file.
		field('storage', 'conf_file', _('Own daemon file'),
			_('A hand-written daemon file (it must exist: checked at each start) used as it is instead of the options above, except Enable and Backups; empty: these settings are used.'));

		return m.render();
	}
});
