-- The destination database: the cleaned-up shop. Clients are known by their e-mail address; orders and
-- order lines keep their numbers so that a second run finds and edits what the first one inserted.
PRAGMA foreign_keys = ON;
CREATE TABLE clients (client_id INTEGER PRIMARY KEY, email VARCHAR(80) NOT NULL UNIQUE, full_name VARCHAR(80), phone VARCHAR(40), city VARCHAR(60), origin VARCHAR(30));
CREATE TABLE orders (order_no INTEGER PRIMARY KEY, client_id INTEGER NOT NULL REFERENCES clients(client_id), ordered_on VARCHAR(10), status VARCHAR(20), imported_by VARCHAR(30));
CREATE TABLE order_lines (line_no INTEGER PRIMARY KEY, order_no INTEGER NOT NULL REFERENCES orders(order_no), product VARCHAR(80), quantity INTEGER, unit_price NUMERIC(10,2), currency CHAR(3));
