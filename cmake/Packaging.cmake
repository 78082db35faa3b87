# Install rules for documentation and the Debian package.
