CREATE TABLE orders (
  id UUID PRIMARY KEY,
  customer_id UUID NOT NULL,
  status TEXT NOT NULL CHECK (status IN ('open', 'shipped', 'cancelled'))
);
