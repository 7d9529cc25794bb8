// Stand-in for the fs module in tests: the real one (a link to it named hostfs, on the search
// path), with /etc/passwd read from the file PELMAR_TEST_PASSWD names, so that a test names
// the daemon's user.
import * as host from 'hostfs';

export function readfile(path, limit) {
	const passwd = getenv('PELMAR_TEST_PASSWD');
	return host.readfile(path == '/etc/passwd' && passwd ? passwd : path, limit);
}

export const lstat = host.lstat, stat = host.stat, open = host.open, error = host.error;
