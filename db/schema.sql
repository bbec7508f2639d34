-- Broker directory read by the service: which broker ("harl") runs a check, and where that broker's
-- livestream endpoint listens. The service only reads these tables; operators and tests fill them.
-- Loading this file into an empty database is idempotent.

create schema if not exists talbrek;

-- One row per broker. ipaddress and port may be null while a broker is being provisioned; the
-- service treats such a broker as not found.
create table if not exists talbrek.harls (
    harl_id   integer primary key,
    ipaddress text,
    port      integer
);

-- Which broker runs a check. A check may be listed more than once (while it moves between
-- brokers); the service uses the first row the server returns.
create table if not exists talbrek.checks (
    check_uuid uuid    not null,
    harl_id    integer not null references talbrek.harls (harl_id)
);

create index if not exists checks_check_uuid_idx on talbrek.checks (check_uuid);
