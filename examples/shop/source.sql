-- The shop's source database: what a small web shop collected over the years, with the usual mess:
-- names padded with blanks, e-mail addresses in mixed case, phone numbers full of punctuation, NULLs,
-- one customer entered twice, order states typed by hand and quantities written as text.
PRAGMA foreign_keys = ON;
CREATE TABLE customers (id INTEGER PRIMARY KEY, name VARCHAR(80), email VARCHAR(80), phone VARCHAR(40), city VARCHAR(60));
CREATE TABLE orders (id INTEGER PRIMARY KEY, customer_id INTEGER NOT NULL REFERENCES customers(id), ordered_on VARCHAR(10), status VARCHAR(20));
CREATE TABLE order_lines (id INTEGER PRIMARY KEY, order_id INTEGER NOT NULL REFERENCES orders(id), product VARCHAR(80), quantity VARCHAR(20), price NUMERIC(10,2));
INSERT INTO customers VALUES (1, '  Ada Lovelace ', 'ADA@Example.org ', '+44 (20) 7946-0101', 'London');
INSERT INTO customers VALUES (2, 'Grace Hopper', 'grace@example.com', '555.867.5309', NULL);
INSERT INTO customers VALUES (3, ' Иван Петров', ' ivan@example.ru', '8 (495) 123-45-67', 'Москва');
INSERT INTO customers VALUES (4, 'Ada Lovelace', 'ada@example.org', '020 7946 0101', '  London ');
INSERT INTO customers VALUES (5, 'Anonymous buyer', NULL, 'n/a', 'Paris');
INSERT INTO customers VALUES (6, 'Edsger Dijkstra	', 'EWD@example.nl', '(+31) 40-247 9111', '');
INSERT INTO orders VALUES (101, 1, '2024-01-05', '  shipped');
INSERT INTO orders VALUES (102, 2, '2024-01-07', 'PAID ');
INSERT INTO orders VALUES (103, 3, '2024-02-11', NULL);
INSERT INTO orders VALUES (104, 6, '2024-02-12', 'Shipped');
INSERT INTO order_lines VALUES (1, 101, ' Difference engine ', '1 pc', 1999.00);
INSERT INTO order_lines VALUES (2, 101, 'Punched cards', '500 pcs', 0.05);
INSERT INTO order_lines VALUES (3, 102, 'Compiler manual', '2', 24.90);
INSERT INTO order_lines VALUES (4, 102, 'Moth (framed)', ' 1 ', 9.99);
INSERT INTO order_lines VALUES (5, 103, 'Samovar', 'one', 120.00);
INSERT INTO order_lines VALUES (6, 104, 'Semaphore set', '3 sets', 15.00);
INSERT INTO order_lines VALUES (7, 104, 'Goto considered harmful (reprint)', '10x', 4.50);
