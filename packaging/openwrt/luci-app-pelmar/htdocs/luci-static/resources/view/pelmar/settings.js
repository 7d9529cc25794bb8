'use strict';
'require view';
'require form';

// pelmar's settings: section 'main' of /etc/config/pelmar. Values are checked by the init
// script's own rules (LuCI's integer types take "060", which the script refuses), so that
// nothing saved here stops the next start. Save & Apply reloads the service through its
// reload trigger on the config.

// The daemon reads at most this many characters of a line ("key=value").
var LINE_MAX = 199;
// The daemon reads numbers into an int: a larger one would be read as this.
var INT_MAX = 2147483647;

// Why the daemon's file cannot carry the value as `key=value`, or null: the init script's
// refusal() — a line end, white space at either end, " ;" (a comment), a line too long.
function textRefusal(key, value) {
	if (/[\r\n]/.test(value))
		return _('it holds a line end');
	if (/^\s|\s$/.test(value))
		return _('it starts or ends with white space');
	if (/\s;/.test(value))
		return _('" ;" in it would start a comment');
	if (key.length + 1 + new TextEncoder().encode(value).length > LINE_MAX)
		return _('longer than %d characters').format(LINE_MAX - key.length - 1);
	return null;
}

// A validator for a text option written to the daemon's file as `key`; `path`: it must be
// absolute; `limit`: at most so many characters (the init script's maxlength).
function text(key, path, limit, off) {
	return function(section_id, value) {
		if (value === '' || value == null || value === off)
			return true;
		var why = textRefusal(key, value);
		if (!why && path && value.charAt(0) != '/')
			why = _('not an absolute path');
		if (!why && limit && value.length > limit)
			why = _('longer than %d characters').format(limit);
		return why ? _('Refused: %s').format(why) : true;
	};
}

// A validator for a number as the init script takes it: decimal digits, a minus only where
// negative values are allowed, no leading zero or "+", within [lowest, highest].
function number(lowest, highest) {
	return function(section_id, value) {
		if (value === '' || value == null)
			return true;
		if (!/^-?(0|[1-9][0-9]*)$/.test(value) || value == '-0')
			return _('Refused: not a decimal number (digits, without a leading zero or +)');
		var n = +value;
		if (n < lowest)
			return _('Refused: below %d').format(lowest);
		if (n > highest)
			return _('Refused: above %d').format(highest);
		return true;
	};
}

return view.extend({
	render: function() {
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
			f.validate = check;
			if (placeholder != null)
				f.placeholder = placeholder;
			return f;
		}

		/* Capture */
		flag('capture', 'enabled', _('Enable'),
			_('Starts the service (set the upload URL first).'), '0');
		o = field('capture', 'interface', _('Interface'),
			_('Capture natively through libpcap from this monitor interface (a wifi-iface with mode monitor); the daemon waits for it and carries on when it comes back.'),
			text('capture_interface', false, 15), 'mon0');
		o.default = 'mon0';
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
			number(0, INT_MAX), '300');
		field('capture', 'max_devices', _('Devices kept at most'),
			_('Records at most; a new address then replaces the record heard least recently; 0: no cap.'),
			number(0, INT_MAX), '20000');

		/* Reporting */
		field('reporting', 'full_url', _('Upload URL'),
			_('Where the JSON document is POSTed; empty: uploads are off.'),
			text('full_url'));
		field('reporting', 'report_time', _('Report interval (s)'),
			_('Seconds between two uploads (0: every second).'),
			number(0, INT_MAX), '60');
		field('reporting', 'upload_timeout', _('Upload time limit (s)'),
			_('Seconds an upload may run before it is ended, and curl\'s own --max-time; 0: no limit.'),
			number(0, INT_MAX), '30');
		flag('reporting', 'verify_tls', _('Check the certificate'),
			_('curl checks the endpoint\'s certificate against the system\'s store (ca-bundle).'), '1');

		/* Counting and privacy */
		flag('counting', 'count_devices', _('Count devices'),
			_('Link the random addresses that one phone uses into one device: each document gains "devices", the distinct devices heard since the previous one, and each record a "device" naming its group.'), '0');
		flag('counting', 'count_only', _('Count only'),
			_('Documents carry only the device count, no address or device name (turns Count devices on by itself).'), '0');
		flag('counting', 'mac_privacy', _('Pseudonyms'),
			_('Every address in the document, backups, spool and console table is replaced by its pseudonym.'), '0');
		field('counting', 'mac_secret', _('Pseudonyms\' secret'),
			_('The pseudonyms\' secret (text), made at install and kept; empty: a random one for each run.'),
			text('mac_secret')).password = true;
		o = s.taboption('counting', form.ListValue, 'mac_rotation', _('Pseudonym rotation'),
			_('daily: the pseudonyms\' key changes at each UTC midnight, and the table starts a new day; none: a fixed key.'));
		o.value('none', _('none'));
		o.value('daily', _('daily'));
		o.default = 'none';

		/* Storage */
		field('storage', 'spool_dir', _('Spool directory'),
			_('Keep documents whose upload failed (and the last one on a stop) in this directory, created when missing, and send them later, oldest first; empty: off.'),
			text('spool_dir', true));
		field('storage', 'spool_max_kb', _('Spool limit (KiB)'),
			_('Size limit of the spool; the oldest files are dropped first.'),
			number(1, 1048576), '1024');
		flag('storage', 'backup', _('Backups'),
			_('Each upload is also written to the backup directory; off stops backups.'), '0');
		field('storage', 'backup_dir', _('Backup directory'),
			_('Directory for backups (RAM under /tmp).'),
			text('backup_dir', true), '/tmp/pelmar');
		field('storage', 'backup_max_files', _('Backup files at most'),
			_('After each backup, the oldest backup files beyond this many are removed; 0: no limit.'),
			number(0, 100000), '200');
		field('storage', 'backup_max_kb', _('Backups at most (KiB)'),
			_('After each backup, the oldest backup files beyond this many KiB together are removed; 0: no limit.'),
			number(0, 1048576), '2048');
		field('storage', 'status_file', _('Status file'),
			_('The daemon writes its state here (by rename) at every report turn and change of state; the status page reads it.'),
			text('status_file', true), '/var/run/pelmar/status.json');
		field('storage', 'clock_synced_file', _('Clock synchronised marker'),
			_('The clock counts as synchronised once this file exists (made by the NTP hotplug script); documents made before carry "clockSynced": false. "none": no check, for a clock set otherwise.'),
			text('clock_synced_file', true, null, 'none'), '/var/run/pelmar/clock-synced');
		field('storage', 'conf_file', _('Own daemon file'),
			_('A hand-written daemon file (it must exist) used as it is instead of the options above, except Enable and Backups; empty: these settings are used.'),
			text('conf_file', true));

		return m.render();
	}
});
