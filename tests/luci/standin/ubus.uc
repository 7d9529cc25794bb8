// Stand-in for rpcd's bus in tests: every call (the plugin makes only `service list`) answers the
// JSON file named by PELMAR_TEST_SERVICES; without it the bus cannot be reached, as when ubusd is gone.
import { readfile } from 'fs';

export function connect() {
	const path = getenv('PELMAR_TEST_SERVICES');
	return path == null ? null : { call: () => json(readfile(path)) };
}
